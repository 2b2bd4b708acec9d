// The code pages the host's ANSI texts are read in: file names follow the
// file functions' setting (AreFileApisANSI: the ANSI code page, or the OEM
// one after a host called SetFileApisToOEM), member names the ANSI code page,
// in which a double-byte character's second byte may be any byte from 0x40
// on, '\' (0x5C) among them.
#ifndef KESTA_TEXT_CODEPAGE_H
#define KESTA_TEXT_CODEPAGE_H

#include <stddef.h>

#include "compat/win32.h"

// The code page of an ANSI file or directory name, as CreateFileA reads it.
inline UINT FileNameCodePage() { return AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

// True when byte `c` of an ANSI text starts a double-byte character.
inline bool IsLeadByte(char c) { return IsDBCSLeadByteEx(CP_ACP, (BYTE)c) != 0; }

// The length of the longest prefix of `text` (`length` bytes, NUL-free) no
// longer than `limit` that ends on a character's end: a cut never keeps half
// of a double-byte character.
inline size_t WholeCharacters(const char* text, size_t length, size_t limit) {
    size_t i = 0;
    while (i < length) {
        size_t width = IsLeadByte(text[i]) && i + 1 < length ? 2 : 1;
        if (i + width > limit) break;
        i += width;
    }
    return i;
}

#endif  // KESTA_TEXT_CODEPAGE_H
