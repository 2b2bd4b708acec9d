#!/usr/bin/env python3
"""Measures the URL parser (url/) against the public case list of URL parsing,
web-platform-tests' url/resources/urltestdata.json, through the probe
tests/probe/url_cases (built natively and for Windows).

    url-conformance.py SUITE.json PROBE [RUNNER]

RUNNER is a command put before PROBE, e.g. the tree's wine-run launcher. Cases
whose expected result is an http: or https: URL, or a failure, are fed to the
parser; a base that is neither absent, about:blank, nor http(s) cannot be
given to it, and its case is left out. Two groups are counted:

  member lines   input (after leading C0 controls and spaces) starting with
                 "http://" or "https://", and no base or about:blank: what a
                 list line hands over
  with bases     every case counted above, and the relative ones against an
                 http(s) base

For each: how many a browser fetches and how many of those give the same href
(the fragment aside: the same request target, Host and port), and how many a
browser refuses and how many of those are refused here (failure, not-http or
too-long). Every case that differs is listed. Exits 0; 2 on bad arguments.
"""

import json
import shlex
import subprocess
import sys


def load_cases(path):
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    cases = []
    for case in data:
        if not isinstance(case, dict) or "input" not in case:
            continue
        failure = bool(case.get("failure"))
        href = case.get("href")
        if not failure and not (href or "").startswith(("http:", "https:")):
            continue
        base = case.get("base")
        if base == "about:blank":
            base = None
        if base is not None and not base.startswith(("http:", "https:")):
            continue
        cases.append({"input": case["input"], "base": base, "href": None if failure else href})
    return cases


def is_member_line(case):
    text = case["input"].lstrip("".join(chr(c) for c in range(0x21)))
    return case["base"] is None and text.startswith(("http://", "https://"))


def encode(text):
    return text.encode("utf-8", "surrogatepass").hex()


def run_probe(cases, probe, runner):
    lines = "".join("%s\t%s\n" % (encode(c["base"] or ""), encode(c["input"])) for c in cases)
    command = shlex.split(runner) + [probe] if runner else [probe]
    result = subprocess.run(command, input=lines.encode("ascii"), capture_output=True,
                            check=False)
    answers = result.stdout.decode("ascii", "replace").splitlines()
    if len(answers) != len(cases):
        sys.exit("url-conformance: %d answers for %d cases (exit %d): %s" %
                 (len(answers), len(cases), result.returncode, result.stderr[-500:]))
    for case, answer in zip(cases, answers):
        word, _, hexed = answer.partition(" ")
        case["outcome"] = word
        case["got"] = bytes.fromhex(hexed).decode("utf-8", "replace") if word == "ok" else None


def without_fragment(href):
    return href.split("#", 1)[0]


def agrees(case):
    if case["href"] is None:
        return case["outcome"] != "ok"
    return case["outcome"] == "ok" and without_fragment(case["got"]) == without_fragment(case["href"])


def report(title, cases):
    fetched = [c for c in cases if c["href"] is not None]
    refused = [c for c in cases if c["href"] is None]
    same = sum(1 for c in fetched if agrees(c))
    also = sum(1 for c in refused if agrees(c))
    print("%s: %d cases; a browser fetches %d, the same href here %d; a browser refuses %d, "
          "refused here %d" % (title, len(cases), len(fetched), same, len(refused), also))


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 2
    cases = load_cases(argv[0])
    run_probe(cases, argv[1], argv[2] if len(argv) == 3 else None)
    report("member lines", [c for c in cases if is_member_line(c)])
    report("with bases  ", cases)
    for case in cases:
        if agrees(case):
            continue
        print("differs%s: input %s base %s expected %s got %s" % (
            " (member line)" if is_member_line(case) else "",
            ascii(case["input"]), ascii(case["base"]),
            ascii(case["href"]) if case["href"] else "failure",
            ascii(case["got"]) if case["got"] else case["outcome"]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
