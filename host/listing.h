// The list as the plug-in is given it (its name and start offset, or its
// bytes from the start offset on) and what the plug-in says of it: the
// listing and one member's record, in one layout for both widths.
#ifndef KESTA_HOST_LISTING_H
#define KESTA_HOST_LISTING_H

#include <stdint.h>

#include <string>
#include <vector>

#include "host/loader.h"
#include "host/paths.h"

struct Source {
    HostPath name;
    std::string ansiName;     // the opened name in the ANSI code page, for the ANSI entry points
    bool memory = false;
    std::vector<char> image;  // --memory: the whole file, and a NUL
    int64_t imageSize = 0;
    LONG_PTR start = 0;       // --offset
};

// One record in either layout; positions are offsets in the list file.
struct Member {
    std::wstring method;
    uint64_t position = 0;
    uint64_t compsize = 0;
    uint64_t filesize = 0;
    int64_t timestamp = 0;
    std::wstring path;
    std::wstring name;
    uint32_t crc = 0;
};

// The list FILE of the command line as the options ask for it: kExitOk, or
// kExitFailed (with a message) when it cannot be read or spelled.
int OpenSource(const Plugin& plugin, const Options& opt, const wchar_t* file, Source* src);

// The input kind of the flag argument: 0 a file, 1 a memory image.
unsigned InputKind(const Source& src);

// The source and long argument of GetFile for the member at `position` (an
// offset in the file): the name and the position, or the image from the
// position on and its rest. False when the position lies outside the list.
bool MemberSource(const Plugin& plugin, const Source& src, uint64_t position,
                  const void** source, LONG_PTR* len);

// GetArchiveInfo(W), then a copy of its records; the plug-in's block is
// freed. kExitOk, or kExitFailed (with a message).
int FetchListing(const Plugin& plugin, const Source& src, std::vector<Member>* out);

// GetFileInfo(W) for the member named `name`. kExitOk, or kExitFailed (with a message).
int LookUpMember(const Plugin& plugin, const Source& src, const wchar_t* name, Member* out);

#endif  // KESTA_HOST_LISTING_H
