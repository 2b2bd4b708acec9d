#!/usr/bin/env python3
"""Checks that every #include of the plug-in's and the host's sources points
down the house, never up: the layers of ARCHITECTURE.md, from the floor:

    compat, codes   the platform; the host interface's codes and flags
    text            line ends, code pages
    url             URLs as the WHATWG URL Standard parses them
    urllist, http   the list; the download (neither sees the other)
    cache           bodies kept between calls, over http
    plugin          the entry points, records, listing, extraction
    host            spihost, a host of the plug-in's own

    check-layers.py REPO     exits 1 and names each include that runs up
"""

import os
import re
import sys

# folder -> the folders its files may include from (besides its own)
MAY_INCLUDE = {
    "compat": set(),
    "codes": set(),
    "text": {"compat"},
    "url": {"compat", "text"},
    "urllist": {"compat", "codes", "text", "url"},
    "http": {"compat", "text", "url"},
    "cache": {"compat", "text", "url", "http"},
    "plugin": {"compat", "codes", "text", "url", "urllist", "http", "cache"},
    "host": {"compat", "codes", "text", "http", "plugin"},
}


def faults(repo):
    found = []
    for folder, allowed in MAY_INCLUDE.items():
        for name in sorted(os.listdir(os.path.join(repo, folder))):
            path = os.path.join(folder, name)
            with open(os.path.join(repo, path), encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    m = re.match(r'\s*#\s*include\s+"([a-z_]+)/', line)
                    if m and m.group(1) != folder and m.group(1) not in allowed:
                        found.append("%s:%d includes from %s/" % (path, number, m.group(1)))
    return found


def main(argv):
    if len(argv) != 1:
        sys.stderr.write(__doc__)
        return 2
    found = faults(argv[0])
    for fault in found:
        print("check-layers: %s, a layer above it" % fault)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
