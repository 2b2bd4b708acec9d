// Member names as file names, and whole-file writes through a temporary
// file beside the target.
#include "plugin/filename.h"

#include <string.h>

namespace {

WCHAR Upper(WCHAR c) { return c >= 'a' && c <= 'z' ? (WCHAR)(c - 'a' + 'A') : c; }

size_t Length(const WCHAR* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

// True when the `n` characters at `s` are `word`, ASCII letters compared
// without case.
bool SameWord(const WCHAR* s, size_t n, const char* word) {
    size_t i = 0;
    for (; i < n && word[i]; ++i) {
        if (Upper(s[i]) != (WCHAR)word[i]) return false;
    }
    return i == n && word[i] == '\0';
}

// A COM or LPT port's number: 0 to 9, or the superscript 1, 2 and 3
// (U+00B9, U+00B2, U+00B3), which Windows takes for the same devices.
bool IsPortDigit(WCHAR c) { return (c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3; }

// The stem names a device, as Windows reads a name: the text before the
// first dot, without the spaces at its end ("CON .txt" is CON), in any case.
bool IsDeviceName(const WCHAR* name) {
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    size_t stem = 0;
    while (name[stem] && name[stem] != '.') ++stem;
    while (stem > 0 && name[stem - 1] == ' ') --stem;
    for (const char* d : kDevices) {
        if (SameWord(name, stem, d)) return true;
    }
    return stem == 4 && IsPortDigit(name[3]) &&
           (SameWord(name, 3, "COM") || SameWord(name, 3, "LPT"));
}

// The temporary name of one attempt, `length` characters (at least 1): "~"
// and then digits and letters mixed from `seed` and the attempt, so never a
// device name and never ending in a dot or a space. One-character names are
// "~" and then the single digits and letters.
void TemporaryName(uint32_t seed, int attempt, size_t length, WCHAR* out) {
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    const uint32_t kBase = 36;
    uint32_t x = seed + (uint32_t)attempt * 2654435761u;
    out[0] = length == 1 && attempt > 0 ? (WCHAR)kDigits[x % kBase] : (WCHAR)'~';
    for (size_t i = 1; i < length; ++i) {
        out[i] = (WCHAR)kDigits[x % kBase];
        x = x / kBase ^ (x * 1103515245u + 12345u);
    }
    out[length] = 0;
}

// Tries this many names before giving up; with names of two or more
// characters a clash this often means a directory full of our own leftovers.
const int kTemporaryAttempts = 64;

// Creates a new, empty file beside `path` (CREATE_NEW never opens an existing
// file) and writes its path into `temp`. INVALID_HANDLE_VALUE when none can be made.
HANDLE CreateSibling(const WCHAR* path, WCHAR* temp) {
    size_t length = Length(path);
    size_t nameStart = length;
    while (nameStart > 0 && path[nameStart - 1] != '\\' && path[nameStart - 1] != '/') --nameStart;
    size_t nameLength = length - nameStart;
    memcpy(temp, path, nameStart * sizeof(WCHAR));
    uint32_t seed = GetTickCount() ^ (uint32_t)(uintptr_t)path;
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        TemporaryName(seed, attempt, nameLength, temp + nameStart);
        HANDLE h = CreateFileW(temp, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               NULL);
        if (h != INVALID_HANDLE_VALUE) return h;
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    return INVALID_HANDLE_VALUE;
}

bool WriteAll(HANDLE file, const char* bytes, int64_t size) {
    while (size > 0) {
        // WriteFile counts in 32 bits; 1 GiB steps stay clear of that.
        DWORD piece = size > (1 << 30) ? (DWORD)(1 << 30) : (DWORD)size;
        DWORD written = 0;
        if (!WriteFile(file, bytes, piece, &written, NULL) || written != piece) return false;
        bytes += piece;
        size -= piece;
    }
    return true;
}

}  // namespace

bool IsPlainFileName(const WCHAR* name) {
    if (!name) return false;
    size_t n = Length(name);
    if (n == 0 || name[n - 1] == '.' || name[n - 1] == ' ') return false;
    for (size_t i = 0; i < n; ++i) {
        WCHAR c = name[i];
        if (c < 0x20 || (c < 0x80 && strchr("<>:\"/\\|?*", (char)c))) return false;
    }
    return !IsDeviceName(name);
}

bool JoinFilePath(const WCHAR* dir, const WCHAR* name, WCHAR* out) {
    size_t dirLength = Length(dir);
    size_t nameLength = Length(name);
    bool separator = dirLength > 0 && dir[dirLength - 1] != '\\' && dir[dirLength - 1] != '/';
    size_t total = dirLength + (separator ? 1 : 0) + nameLength;
    if (total >= kMaxPathChars) return false;
    memcpy(out, dir, dirLength * sizeof(WCHAR));
    if (separator) out[dirLength] = '\\';
    memcpy(out + dirLength + (separator ? 1 : 0), name, (nameLength + 1) * sizeof(WCHAR));
    return true;
}

bool OpenStagedFile(const WCHAR* path, StagedFile* f) {
    size_t n = Length(path);
    if (n >= kMaxPathChars) return false;
    memcpy(f->path, path, (n + 1) * sizeof(WCHAR));
    f->file = CreateSibling(path, f->temp);
    return f->file != INVALID_HANDLE_VALUE;
}

bool WriteStaged(StagedFile* f, const void* bytes, int64_t size) {
    return WriteAll(f->file, static_cast<const char*>(bytes), size);
}

bool CommitStaged(StagedFile* f) {
    bool ok = CloseHandle(f->file) != 0;
    f->file = INVALID_HANDLE_VALUE;
    if (ok) ok = MoveFileExW(f->temp, f->path, MOVEFILE_REPLACE_EXISTING) != 0;
    if (!ok) DeleteFileW(f->temp);
    return ok;
}

void AbandonStaged(StagedFile* f) {
    if (f->file != INVALID_HANDLE_VALUE) CloseHandle(f->file);
    f->file = INVALID_HANDLE_VALUE;
    DeleteFileW(f->temp);
}

bool WriteFileWhole(const WCHAR* path, const void* bytes, int64_t size) {
    StagedFile f;
    if (!OpenStagedFile(path, &f)) return false;
    if (!WriteStaged(&f, bytes, size)) {
        AbandonStaged(&f);
        return false;
    }
    return CommitStaged(&f);
}
