// Helpers for the Windows-side test programs that run under Wine: the
// process's memory counters, the plug-in loaded as a viewer loads it (with its
// message box rerouted), and a Winsock server on 127.0.0.1 for small bodies.
// They build for both widths; CMakeLists.txt names the plug-in file of the
// build (KESTA_PLUGIN_FILE: "KESTA.SPI" or "KESTA.SPH").
#ifndef KESTA_TESTS_PROBE_WINE_SUPPORT_H
#define KESTA_TESTS_PROBE_WINE_SUPPORT_H

#include "plugin/spi.h"

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

struct Plugin {
    HMODULE module;
    GetPluginInfoFn getPluginInfo;
    IsSupportedFn isSupported;
    GetArchiveInfoFn getArchiveInfo;
    GetFileInfoFn getFileInfo;
    GetFileFn getFile;
    GetPluginInfoWFn getPluginInfoW;
    IsSupportedWFn isSupportedW;
    GetArchiveInfoWFn getArchiveInfoW;
    GetFileInfoWFn getFileInfoW;
    GetFileWFn getFileW;
};

template <typename Fn>
Fn EntryAs(FARPROC p) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
}

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

// Counts the message boxes that the plug-in asked for instead of showing them.
inline std::atomic<int>& MessageBoxCount() {
    static std::atomic<int> count{0};
    return count;
}

inline int WINAPI SilentMessageBox(HWND, LPCSTR, LPCSTR, UINT) {
    ++MessageBoxCount();
    return IDOK;
}

inline int WINAPI SilentMessageBoxW(HWND, LPCWSTR, LPCWSTR, UINT) {
    ++MessageBoxCount();
    return IDOK;
}

// Points the plug-in's import of user32!name at `replacement`.
inline bool Reroute(HMODULE m, const char* name, void* replacement) {
    FARPROC* slot = FindImportSlot(m, "USER32.dll", name);
    DWORD old = 0;
    if (!slot || !VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) return false;
    *slot = reinterpret_cast<FARPROC>(replacement);
    VirtualProtect(slot, sizeof *slot, old, &old);
    return true;
}

// Loads the plug-in from the current directory, finds the ten entry points
// by their plain names and reroutes its message boxes. False when any step fails.
inline bool LoadPlugin(Plugin* p) {
    memset(p, 0, sizeof *p);
    p->module = LoadLibraryA(KESTA_PLUGIN_FILE);
    if (!p->module) return false;
    p->getPluginInfo = EntryAs<GetPluginInfoFn>(GetProcAddress(p->module, "GetPluginInfo"));
    p->isSupported = EntryAs<IsSupportedFn>(GetProcAddress(p->module, "IsSupported"));
    p->getArchiveInfo = EntryAs<GetArchiveInfoFn>(GetProcAddress(p->module, "GetArchiveInfo"));
    p->getFileInfo = EntryAs<GetFileInfoFn>(GetProcAddress(p->module, "GetFileInfo"));
    p->getFile = EntryAs<GetFileFn>(GetProcAddress(p->module, "GetFile"));
    p->getPluginInfoW = EntryAs<GetPluginInfoWFn>(GetProcAddress(p->module, "GetPluginInfoW"));
    p->isSupportedW = EntryAs<IsSupportedWFn>(GetProcAddress(p->module, "IsSupportedW"));
    p->getArchiveInfoW = EntryAs<GetArchiveInfoWFn>(GetProcAddress(p->module, "GetArchiveInfoW"));
    p->getFileInfoW = EntryAs<GetFileInfoWFn>(GetProcAddress(p->module, "GetFileInfoW"));
    p->getFileW = EntryAs<GetFileWFn>(GetProcAddress(p->module, "GetFileW"));
    bool patched = Reroute(p->module, "MessageBoxA", reinterpret_cast<void*>(&SilentMessageBox)) &&
                   Reroute(p->module, "MessageBoxW", reinterpret_cast<void*>(&SilentMessageBoxW));
    return patched && p->getPluginInfo && p->isSupported && p->getArchiveInfo &&
           p->getFileInfo && p->getFile && p->getPluginInfoW && p->isSupportedW &&
           p->getArchiveInfoW && p->getFileInfoW && p->getFileW;
}

inline void UnloadPlugin(Plugin* p) {
    if (p->module) FreeLibrary(p->module);
    p->module = NULL;
}

// ---------------------------------------------------------- loopback server

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

const int kPollMillis = 50;           // how often a wait looks at the stop flag
const int kRequestWaitMillis = 5000;  // bound on waiting for a request's blank line
const size_t kRequestCap = 64 * 1024; // a longer request is cut (ours are < 5 KiB)

// True when `s` becomes readable within `millis`; false at once on `stop`.
inline bool WaitReadable(SOCKET s, int millis, const std::atomic<bool>& stop) {
    for (int waited = 0; waited < millis && !stop; waited += kPollMillis) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv = {0, kPollMillis * 1000};
        int n = select(0, &set, NULL, NULL, &tv);
        if (n != 0) return n > 0;
    }
    return false;
}

// The path of "GET <path> HTTP/1.0": from the first space to the last on the line.
inline std::string RequestPath(const std::string& request) {
    std::string line = request.substr(0, request.find("\r\n"));
    size_t first = line.find(' ');
    size_t last = line.rfind(' ');
    if (first == std::string::npos || last <= first) return std::string();
    return line.substr(first + 1, last - first - 1);
}

// Serves connections on 127.0.0.1 one after another from its own thread until
// stopped: reads each request up to its blank line (bounded), answers with
// reply(path), ends its sending and closes. Needs the caller's WSAStartup.
// The destructor stops the thread, so a test that fails early still stops it.
// A server for a memory measurement keeps no paths (they would grow the
// very counters the test reads), only the connection count.
class LoopbackServer {
public:
    typedef std::function<std::string(const std::string& path)> ReplyFn;

    explicit LoopbackServer(ReplyFn reply, bool keepPaths = true)
        : reply_(reply), keepPaths_(keepPaths) {}
    ~LoopbackServer() { Stop(); }

    bool Start() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        if (listener_ == INVALID_SOCKET) return false;
        sockaddr_in sa;
        memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = inet_addr("127.0.0.1");
        int len = sizeof sa;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            listen(listener_, 16) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            closesocket(listener_);
            listener_ = INVALID_SOCKET;
            return false;
        }
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Serve(); });
        return true;
    }

    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ != INVALID_SOCKET) closesocket(listener_);
        listener_ = INVALID_SOCKET;
    }

    unsigned short port() const { return port_; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    int connections() const { return connections_; }
    std::vector<std::string> Paths() {
        std::lock_guard<std::mutex> lock(mutex_);
        return paths_;
    }

private:
    void Serve() {
        while (!stop_) {
            if (!WaitReadable(listener_, kPollMillis, stop_)) continue;
            SOCKET c = accept(listener_, NULL, NULL);
            if (c == INVALID_SOCKET) continue;
            std::string path = RequestPath(ReadRequest(c));
            if (keepPaths_) {
                std::lock_guard<std::mutex> lock(mutex_);
                paths_.push_back(path);
            }
            std::string reply = reply_(path);
            SendAll(c, reply);
            shutdown(c, 1);  // no more sends: the client sees the end of the response
            closesocket(c);
            ++connections_;
        }
    }

    std::string ReadRequest(SOCKET c) {
        std::string data;
        char buf[4096];
        while (data.find("\r\n\r\n") == std::string::npos && data.size() < kRequestCap) {
            if (!WaitReadable(c, kRequestWaitMillis, stop_)) break;
            int n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            data.append(buf, (size_t)n);
        }
        return data;
    }

    static void SendAll(SOCKET c, const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            int n = send(c, bytes.data() + sent, (int)(bytes.size() - sent), 0);
            if (n <= 0) return;
            sent += (size_t)n;
        }
    }

    ReplyFn reply_;
    bool keepPaths_;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::vector<std::string> paths_;
    std::thread thread_;
};

// A loopback port on which nothing listens: bound, then released.
inline unsigned short ClosedPort() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet_addr("127.0.0.1");
    int len = sizeof sa;
    bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    closesocket(s);
    return ntohs(sa.sin_port);
}

}  // namespace wine_support

#endif  // KESTA_TESTS_PROBE_WINE_SUPPORT_H
