// UTF-8 and ANSI conversions for spihost's output and the ANSI entry points.
#include "host/text.h"

#include <stdio.h>
#include <wchar.h>

std::string Utf8(const wchar_t* text, size_t length) {
    if (length == 0) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text, (int)length, NULL, 0, NULL, NULL);
    if (n <= 0) return std::string();
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, (int)length, &out[0], n, NULL, NULL);
    return out;
}

std::string Utf8(const std::wstring& text) { return Utf8(text.data(), text.size()); }
std::string Utf8(const wchar_t* text) { return Utf8(text, wcslen(text)); }

std::wstring FromAnsi(const char* text, size_t length) {
    if (length == 0) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text, (int)length, NULL, 0);
    if (n <= 0) return std::wstring();
    std::wstring out((size_t)n, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, (int)length, &out[0], n);
    return out;
}

bool ToAnsi(const std::wstring& text, std::string* out) {
    out->clear();
    if (text.empty()) return true;
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), NULL, 0, NULL, NULL);
    if (n <= 0) return false;
    out->assign((size_t)n, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), &(*out)[0], n, NULL, NULL);
    return FromAnsi(out->data(), out->size()) == text;
}

void PutText(const std::wstring& text) {
    std::string bytes = Utf8(text);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
}
