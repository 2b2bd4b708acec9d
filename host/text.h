// Text in spihost: UTF-8 for everything it prints, the ANSI code page for
// the ANSI entry points, and the fixed-size text fields of the records.
#ifndef KESTA_HOST_TEXT_H
#define KESTA_HOST_TEXT_H

#include <stddef.h>

#include <string>

#include "compat/win32.h"

std::string Utf8(const wchar_t* text, size_t length);
std::string Utf8(const std::wstring& text);
std::string Utf8(const wchar_t* text);

std::wstring FromAnsi(const char* text, size_t length);

// The text in the ANSI code page, for the ANSI entry points. False when the
// code page cannot spell it: the conversion does not come back the same.
bool ToAnsi(const std::wstring& text, std::string* out);

// The text of a fixed-size record field: up to its NUL or its end.
template <size_t N>
std::wstring FieldText(const char (&field)[N]) {
    size_t n = 0;
    while (n < N && field[n] != '\0') n++;
    return FromAnsi(field, n);
}

template <size_t N>
std::wstring FieldText(const WCHAR (&field)[N]) {
    size_t n = 0;
    while (n < N && field[n] != 0) n++;
    return std::wstring(field, n);
}

// Writes the text to stdout as UTF-8.
void PutText(const std::wstring& text);

#endif  // KESTA_HOST_TEXT_H
