// Paths as the user typed them and as spihost opens them. Everything spihost
// prints shows the typed form; only Windows and the plug-in see the other.
//
// The two differ only under ./spihost on Linux. Wine resolves a path that
// starts with one '/' against the current drive, which is the Unix root (Z:)
// only while the working directory lies outside the prefix's drive_c. So the
// wrapper passes Linux paths unchanged and sets SPIHOST_LINUX_DRIVE=Z:, and
// spihost opens "/home/u/out" as "Z:/home/u/out" while printing
// "/home/u/out". Without the variable (spihost.exe on Windows, or run
// directly under Wine) the opened form is the typed one.
#ifndef KESTA_HOST_PATHS_H
#define KESTA_HOST_PATHS_H

#include <string>

struct HostPath {
    std::wstring typed;   // shown in every line and message
    std::wstring opened;  // given to the file functions and the plug-in
};

// A path from the command line.
HostPath PathArgument(const wchar_t* text);

// A path that nobody typed (the plug-in beside spihost.exe): one form.
HostPath PathAsIs(const std::wstring& text);

// DIR joined with a file name, in both forms: with '/' where DIR is spelled
// with '/' only ("out", "/home/u/out", "C:/out"), else with '\', so a printed
// path reads like the directory typed. False when the opened form would not
// fit the file functions' kMaxPathChars.
bool JoinPath(const HostPath& dir, const std::wstring& file, HostPath* out);

#endif  // KESTA_HOST_PATHS_H
