// What the plug-in tells the host about itself (the four description texts)
// and which files it takes: names ending in "ykt" or "YKT".
#include <string.h>

#include "plugin/plugin.h"

// Index 0: an archive plug-in with several members per archive; 1: name,
// version and maker's notice; 2: the file filter; 3: that filter's display name.
static const char* const kPluginInfo[] = {
    "00AM",
    "Pelloran ver 0.6\nCopyright (C) 2026 the KESTA.SPI authors",
    "*.ykt",
    "Pelloran(*.ykt)",
};
static const int kPluginInfoCount = sizeof kPluginInfo / sizeof kPluginInfo[0];

// The two spellings of the extension that are recognised; no others.
static const char kExtensionLower[] = "ykt";
static const char kExtensionUpper[] = "YKT";
static const int kExtensionLength = 3;

// Cuts a text that does not fit, always terminated: at most buflen - 1
// characters, then NUL characters up to buflen. The texts are ASCII, so the
// Unicode entry point widens them character for character.
template <typename Char>
static int CopyInfoText(int infono, Char* buf, int buflen) {
    if (infono < 0 || infono >= kPluginInfoCount) return 0;
    if (!buf || buflen <= 0) return 0;
    const char* text = kPluginInfo[infono];
    int n = (int)strlen(text);
    if (n > buflen - 1) n = buflen - 1;
    for (int i = 0; i < n; ++i) buf[i] = (Char)(unsigned char)text[i];
    for (int i = n; i < buflen; ++i) buf[i] = 0;
    return n;
}

int CopyPluginInfo(int infono, char* buf, int buflen) { return CopyInfoText(infono, buf, buflen); }

int CopyPluginInfoW(int infono, WCHAR* buf, int buflen) {
    return CopyInfoText(infono, buf, buflen);
}

// Recognition by name alone: no dot is needed before the extension, and
// mixed case ("Ykt") is not taken.
int IsUrlListName(const char* filename) {
    if (!filename) return 0;
    size_t length = strlen(filename);
    if (length < (size_t)kExtensionLength) return 0;
    const char* tail = filename + length - kExtensionLength;
    if (memcmp(tail, kExtensionLower, kExtensionLength) == 0) return 1;
    if (memcmp(tail, kExtensionUpper, kExtensionLength) == 0) return 1;
    return 0;
}

int IsUrlListNameW(const WCHAR* filename) {
    if (!filename) return 0;
    size_t length = 0;
    while (filename[length]) ++length;
    if (length < (size_t)kExtensionLength) return 0;
    const WCHAR* tail = filename + length - kExtensionLength;
    bool lower = true;
    bool upper = true;
    for (int i = 0; i < kExtensionLength; ++i) {
        lower = lower && tail[i] == (WCHAR)kExtensionLower[i];
        upper = upper && tail[i] == (WCHAR)kExtensionUpper[i];
    }
    return lower || upper ? 1 : 0;
}
