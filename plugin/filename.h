// Which member names may become files, and writing a member's file.
#ifndef KESTA_PLUGIN_FILENAME_H
#define KESTA_PLUGIN_FILENAME_H

#include "compat/win32.h"

// True when `name` can name a file of its own in a directory on Windows: not
// empty; no control character and none of < > : " / \ | ? *; no trailing dot
// or space (Windows drops them, so "..." would name the directory itself);
// not a device (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0 to COM9, LPT0 to
// LPT9, COM and LPT with a superscript 1, 2 or 3), in any case, with any
// extension, with spaces before the extension. Such a name can never leave
// the directory or reach a device.
bool IsPlainFileName(const WCHAR* name);

// 260: the longest path the Windows file functions take, NUL included.
const size_t kMaxPathChars = 260;

// Joins dir and name with a '\' (none when dir already ends in '\' or '/')
// into `out` (kMaxPathChars characters). False when the path does not fit.
bool JoinFilePath(const WCHAR* dir, const WCHAR* name, WCHAR* out);

// A file written piece by piece through a new file beside its final path,
// whose name is as long as the final one (so it fits wherever the final path
// fits) and clashes with no existing file; only a complete file is moved
// over the final path, replacing any file of that name whole.
struct StagedFile {
    HANDLE file;
    WCHAR path[kMaxPathChars];
    WCHAR temp[kMaxPathChars];
};

// Creates the new file beside `path`. False when none can be made.
bool OpenStagedFile(const WCHAR* path, StagedFile* f);
// Appends `size` bytes. False on a write error.
bool WriteStaged(StagedFile* f, const void* bytes, int64_t size);
// Moves the file over its final path: true, or false with the new file
// removed. Either way `f` is closed.
bool CommitStaged(StagedFile* f);
// Removes the new file, leaving the final path as it was.
void AbandonStaged(StagedFile* f);

// Writes `size` bytes to `path` through a staged file. False when anything
// fails; no partial file is left.
bool WriteFileWhole(const WCHAR* path, const void* bytes, int64_t size);

#endif  // KESTA_PLUGIN_FILENAME_H
