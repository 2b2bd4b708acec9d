// Helpers for the Windows-side test programs that run under Wine: the
// process's memory counters, the plug-in loaded as a viewer loads it (with its
// message boxes rerouted), and the host's own Winsock start-up. The loopback
// server is tests/support/loopback_server.h.
// They build for both widths; CMakeLists.txt names the plug-in file of the
// build (KESTA_PLUGIN_FILE: "KESTA.SPI" or "KESTA.SPH").
#ifndef KESTA_TESTS_PROBE_WINE_SUPPORT_H
#define KESTA_TESTS_PROBE_WINE_SUPPORT_H

#include "host/entries.h"

#include <psapi.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wine_support {

// ------------------------------------------------------------ memory counters

// Private bytes and the working set, in bytes. Private bytes are read from
// PagefileUsage, the process's private commit on Windows: Wine 8 leaves
// PrivateUsage at 0 and reports its anonymous resident memory there.
struct MemorySample {
    size_t privateBytes;
    size_t workingSet;
};

inline MemorySample SampleMemory() {
    PROCESS_MEMORY_COUNTERS c;
    memset(&c, 0, sizeof c);
    c.cb = sizeof c;
    MemorySample m = {0, 0};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c)) {
        m.privateBytes = c.PagefileUsage;
        m.workingSet = c.WorkingSetSize;
    }
    return m;
}

// ------------------------------------------------------------------ plug-in

struct Plugin : PluginEntries {
    HMODULE module = NULL;
};

// The import address table slot through which `m` calls dllName!funcName
// (matched by the import name table), or NULL.
inline FARPROC* FindImportSlot(HMODULE m, const char* dllName, const char* funcName) {
    BYTE* base = reinterpret_cast<BYTE*>(m);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return NULL;
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) return NULL;
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return NULL;
    const IMAGE_IMPORT_DESCRIPTOR* d =
        reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
    for (; d->Name != 0; ++d) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dllName) != 0) continue;
        if (d->OriginalFirstThunk == 0) continue;
        FARPROC* slots = reinterpret_cast<FARPROC*>(base + d->FirstThunk);
        const IMAGE_THUNK_DATA* names =
            reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        for (int i = 0; slots[i] != NULL; ++i) {
            if (names[i].u1.Ordinal & IMAGE_ORDINAL_FLAG) continue;
            const IMAGE_IMPORT_BY_NAME* ibn =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(ibn->Name), funcName) == 0) return &slots[i];
        }
    }
    return NULL;
}

// Loads the plug-in from the current directory and finds the ten entry
// points by their plain names. False when any step fails.
inline bool LoadPlugin(Plugin* p) {
    *p = Plugin();
    p->module = LoadLibraryA(KESTA_PLUGIN_FILE);
    if (!p->module) return false;
    FindPluginEntries(p->module, p);
    return p->HasAnsiSet() && p->HasWideSet();
}

inline void UnloadPlugin(Plugin* p) {
    if (p->module) FreeLibrary(p->module);
    p->module = NULL;
}

// ------------------------------------------------------------------ Winsock

// The host's own Winsock start-up, balanced at scope end.
struct HostWinsock {
    int started;
    HostWinsock() {
        WSADATA wsa;
        started = WSAStartup(MAKEWORD(1, 1), &wsa);
    }
    ~HostWinsock() {
        if (started == 0) WSACleanup();
    }
};

}  // namespace wine_support

#endif  // KESTA_TESTS_PROBE_WINE_SUPPORT_H
