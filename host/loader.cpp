// Finding, sniffing and loading the plug-in, and what its entry points can take.
#include "host/loader.h"

#include <stdio.h>

#include <vector>

#include "host/status.h"
#include "host/text.h"

namespace {

#if KESTA_64BIT
const wchar_t kDefaultPlugin[] = L"KESTA.SPH";  // looked for beside spihost.exe
const int kHostBits = 64;
#else
const wchar_t kDefaultPlugin[] = L"KESTA.SPI";
const int kHostBits = 32;
#endif

const DWORD kModulePathCapacity = 32768;  // the longest path Windows knows, NUL included

// The plug-in path: the one given, else the plug-in of this width in
// spihost.exe's directory.
bool PluginPath(const Options& opt, HostPath* out) {
    if (opt.Has(kOptPlugin)) {
        *out = opt.plugin;
        return true;
    }
    std::vector<wchar_t> self(kModulePathCapacity);
    DWORD n = GetModuleFileNameW(NULL, self.data(), kModulePathCapacity);
    if (n == 0 || n >= kModulePathCapacity) return false;
    while (n > 0 && self[n - 1] != L'\\' && self[n - 1] != L'/') n--;
    *out = PathAsIs(std::wstring(self.data(), n) + kDefaultPlugin);
    return true;
}

// The machine field of the PE image in the open file: false when the file
// holds no PE header.
bool ReadMachine(HANDLE f, WORD* machine) {
    IMAGE_DOS_HEADER dos;
    DWORD got = 0;
    if (!ReadFile(f, &dos, sizeof dos, &got, NULL) || got != sizeof dos) return false;
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) return false;
    if (SetFilePointer(f, dos.e_lfanew, NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
        return false;
    }
    struct {
        DWORD signature;
        IMAGE_FILE_HEADER file;
    } head;
    if (!ReadFile(f, &head, sizeof head, &got, NULL) || got != sizeof head) return false;
    if (head.signature != IMAGE_NT_SIGNATURE) return false;
    *machine = head.file.Machine;
    return true;
}

// The width of the PE image at `path` by its header's machine field: 32 or
// 64; 0 when the file cannot be read or is neither.
int ImageBits(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (f == INVALID_HANDLE_VALUE) return 0;
    WORD machine = 0;
    bool read = ReadMachine(f, &machine);
    CloseHandle(f);
    if (read && machine == IMAGE_FILE_MACHINE_I386) return 32;
    if (read && machine == IMAGE_FILE_MACHINE_AMD64) return 64;
    return 0;
}

// Finds the entry points; the Unicode set is used when it is complete and
// --ansi is not given. False (with a message) when the chosen set lacks one.
bool FindEntries(Plugin* p, bool ansi) {
    FindPluginEntries(p->module, p);
    p->wide = p->HasWideSet() && !ansi;
    if (p->wide) return true;
    const struct {
        const char* name;
        bool found;
    } ansiSet[] = {
        {"GetPluginInfo", p->getPluginInfo != NULL}, {"IsSupported", p->isSupported != NULL},
        {"GetArchiveInfo", p->getArchiveInfo != NULL}, {"GetFileInfo", p->getFileInfo != NULL},
        {"GetFile", p->getFile != NULL},
    };
    bool complete = true;
    for (const auto& e : ansiSet) {
        if (!e.found) fprintf(stderr, "spihost: the plug-in has no %s\n", e.name);
        complete = complete && e.found;
    }
    return complete;
}

bool SpellableAs(const Plugin& plugin, const std::wstring& text, const std::wstring& shown,
                 std::string* ansi) {
    if (plugin.wide || ToAnsi(text, ansi)) return true;
    fprintf(stderr,
            "spihost: the ANSI entry points cannot take '%s': code page %u cannot spell it\n",
            Utf8(shown).c_str(), GetACP());
    return false;
}

}  // namespace

const char* Plugin::Name(const char* entry) const {
    static char named[32];
    snprintf(named, sizeof named, "%s%s", entry, wide ? "W" : "");
    return named;
}

int LoadPlugin(const Options& opt, Plugin* plugin) {
    HostPath path;
    if (!PluginPath(opt, &path)) {
        fputs("spihost: cannot tell where spihost.exe lies\n", stderr);
        return kExitNoPlugin;
    }
    int bits = ImageBits(path.opened);
    if (bits != 0 && bits != kHostBits) {
        fprintf(stderr,
                "spihost: %s is a %d-bit plug-in and this spihost is %d-bit: run the %d-bit "
                "spihost, or give a %d-bit plug-in (%s)\n",
                Utf8(path.typed).c_str(), bits, kHostBits, bits, kHostBits,
                Utf8(kDefaultPlugin).c_str());
        return kExitNoPlugin;
    }
    plugin->module = LoadLibraryW(path.opened.c_str());
    if (plugin->module == NULL) {
        fprintf(stderr, "spihost: cannot load %s (error %lu)\n", Utf8(path.typed).c_str(),
                (unsigned long)GetLastError());
        return kExitNoPlugin;
    }
    if (!FindEntries(plugin, opt.Has(kOptAnsi))) {
        FreeLibrary(plugin->module);
        plugin->module = NULL;
        return kExitNoPlugin;
    }
    return kExitOk;
}

int ReportFailure(const Plugin& plugin, const char* entry, int code) {
    fprintf(stderr, "spihost: %s returned %d\n", plugin.Name(entry), code);
    return kExitFailed;
}

bool Spellable(const Plugin& plugin, const std::wstring& text, std::string* ansi) {
    return SpellableAs(plugin, text, text, ansi);
}

bool Spellable(const Plugin& plugin, const HostPath& path, std::string* ansi) {
    return SpellableAs(plugin, path.opened, path.typed, ansi);
}
