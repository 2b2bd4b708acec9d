// The typed and the opened form of spihost's paths: the Linux drive that
// ./spihost names, and joining a directory with a file name.
#include "host/paths.h"

#include "compat/win32.h"
#include "plugin/filename.h"

namespace {

// Set by ./spihost alone: the drive that holds the Unix root under Wine.
const wchar_t kLinuxDriveVariable[] = L"SPIHOST_LINUX_DRIVE";

// The drive SPIHOST_LINUX_DRIVE names ("Z:"), or empty when it is unset or
// is not one letter and a colon.
std::wstring LinuxDrive() {
    wchar_t value[4] = {0};
    DWORD n = GetEnvironmentVariableW(kLinuxDriveVariable, value, 4);
    bool isDrive = n == 2 && ((value[0] >= L'A' && value[0] <= L'Z') ||
                              (value[0] >= L'a' && value[0] <= L'z')) && value[1] == L':';
    return isDrive ? std::wstring(value, 2) : std::wstring();
}

// "/home/u", not "//server/share", which Wine and Windows read alike.
bool IsLinuxAbsolute(const wchar_t* text) { return text[0] == L'/' && text[1] != L'/'; }

bool JoinOne(const std::wstring& dir, const std::wstring& file, std::wstring* out) {
    std::wstring base = dir;
    if (!base.empty() && base.find(L'\\') == std::wstring::npos && base.back() != L'/') {
        base += L'/';
    }
    WCHAR path[kMaxPathChars];
    if (!JoinFilePath(base.c_str(), file.c_str(), path)) return false;
    *out = path;
    return true;
}

}  // namespace

HostPath PathArgument(const wchar_t* text) {
    HostPath path = PathAsIs(text);
    if (IsLinuxAbsolute(text)) path.opened = LinuxDrive() + path.typed;
    return path;
}

HostPath PathAsIs(const std::wstring& text) { return HostPath{text, text}; }

// The typed form is never longer than the opened one, so it fits when that does.
bool JoinPath(const HostPath& dir, const std::wstring& file, HostPath* out) {
    HostPath joined;
    if (!JoinOne(dir.opened, file, &joined.opened)) return false;
    if (!JoinOne(dir.typed, file, &joined.typed)) return false;
    *out = joined;
    return true;
}
