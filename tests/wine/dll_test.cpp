// The plug-in (KESTA.SPI, or KESTA.SPH in the 64-bit build) as a host sees
// it: loaded with LoadLibraryA from the current directory, entry points found
// by their plain names, called through __stdcall pointers. Covers the export
// table, the identity answers, stack balance (i386 only: x86-64 has one
// calling convention), a lookup without any dialog, the default port, the
// addresses of a host, and the socket clean-ups that run when the plug-in is
// unloaded. Imports of the plug-in (connect, getaddrinfo) are rerouted
// through its import address table where a test must watch them.
#include "plugin/spi.h"
#include "tests/probe/wine_support.h"
#include "tests/support/loopback_server.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using wine_support::HostWinsock;

const char kPluginFile[] = KESTA_PLUGIN_FILE;  // named by CMakeLists.txt for the build's width
const unsigned kMemoryInput = 1;
const unsigned kMemoryInMemoryOut = 0x0101;  // memory image in, memory block out
const char kUserAgentLine[] = "User-Agent: RUSKO Susie Plugin Http Client/1.0\r\n\r\n";

#ifdef __i386__
// ------------------------------------------------------------ stack probe

// Calls `fn` with `count` 32-bit arguments pushed right to left, as a
// __stdcall caller does, and reports how far ESP moved across the call:
// 0 when the callee removed exactly its arguments, -4 * count for a callee
// that leaves them (cdecl). ESP is 16-byte aligned at the call.
extern "C" __attribute__((naked)) int StdcallProbe(const void*, const uint32_t*, int, int*) {
    asm("    pushl %ebp\n"
        "    movl %esp, %ebp\n"
        "    pushl %ebx\n"
        "    pushl %esi\n"
        "    pushl %edi\n"
        "    movl %esp, %edi\n"        // restored at the end whatever the callee did
        "    movl 16(%ebp), %ecx\n"    // count
        "    movl 12(%ebp), %esi\n"    // args
        "    leal (,%ecx,4), %eax\n"
        "    subl %eax, %esp\n"
        "    andl $-16, %esp\n"
        "    addl %eax, %esp\n"
        "    movl %esp, %ebx\n"        // ESP before the pushes
        "1:  testl %ecx, %ecx\n"
        "    jz 2f\n"
        "    decl %ecx\n"
        "    pushl (%esi,%ecx,4)\n"
        "    jmp 1b\n"
        "2:  call *8(%ebp)\n"
        "    movl %esp, %ecx\n"
        "    subl %ebx, %ecx\n"
        "    movl 20(%ebp), %edx\n"
        "    movl %ecx, (%edx)\n"
        "    movl %edi, %esp\n"
        "    popl %edi\n"
        "    popl %esi\n"
        "    popl %ebx\n"
        "    popl %ebp\n"
        "    ret\n");
}

uint32_t Arg(const void* p) { return (uint32_t)(uintptr_t)p; }
#endif  // __i386__

// ------------------------------------------------------- PE table walking

const BYTE* ModuleBase(HMODULE m) { return reinterpret_cast<const BYTE*>(m); }

const IMAGE_NT_HEADERS* NtHeaders(HMODULE m) {
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(m);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return NULL;
    const IMAGE_NT_HEADERS* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(ModuleBase(m) + dos->e_lfanew);
    return nt->Signature == IMAGE_NT_SIGNATURE ? nt : NULL;
}

// The export directory's module name and its names, in table order.
bool ReadExportNames(HMODULE m, std::string* moduleName, std::vector<std::string>* names) {
    const IMAGE_NT_HEADERS* nt = NtHeaders(m);
    if (!nt) return false;
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0) return false;
    const BYTE* base = ModuleBase(m);
    const IMAGE_EXPORT_DIRECTORY* exp =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    *moduleName = reinterpret_cast<const char*>(base + exp->Name);
    const DWORD* nameRvas = reinterpret_cast<const DWORD*>(base + exp->AddressOfNames);
    for (DWORD i = 0; i < exp->NumberOfNames; ++i) {
        names->push_back(reinterpret_cast<const char*>(base + nameRvas[i]));
    }
    return true;
}

// The import address table slot through which module `m` calls
// dllName!funcName, or NULL. Names are read from the import name table; a
// module without one is matched by the function's current address.
FARPROC* FindImportSlot(HMODULE m, const char* dllName, const char* funcName) {
    const IMAGE_NT_HEADERS* nt = NtHeaders(m);
    if (!nt) return NULL;
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return NULL;
    BYTE* base = const_cast<BYTE*>(ModuleBase(m));
    HMODULE target = GetModuleHandleA(dllName);
    FARPROC current = target ? GetProcAddress(target, funcName) : NULL;
    const IMAGE_IMPORT_DESCRIPTOR* d =
        reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
    for (; d->Name != 0; ++d) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dllName) != 0) continue;
        FARPROC* slots = reinterpret_cast<FARPROC*>(base + d->FirstThunk);
        const IMAGE_THUNK_DATA* names =
            d->OriginalFirstThunk
                ? reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk)
                : NULL;
        for (int i = 0; slots[i] != NULL; ++i) {
            bool byName = names && !(names[i].u1.Ordinal & IMAGE_ORDINAL_FLAG);
            if (byName) {
                const IMAGE_IMPORT_BY_NAME* ibn = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(
                    base + names[i].u1.AddressOfData);
                if (strcmp(reinterpret_cast<const char*>(ibn->Name), funcName) == 0) {
                    return &slots[i];
                }
            } else if (!names && current && slots[i] == current) {
                return &slots[i];
            }
        }
    }
    return NULL;
}

bool WriteSlot(FARPROC* slot, FARPROC value) {
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) return false;
    *slot = value;
    DWORD ignored = 0;
    VirtualProtect(slot, sizeof *slot, old, &ignored);
    return true;
}

// ----------------------------------------------------------- loopback server

std::string ExpectedRequest(const std::string& path, unsigned short port) {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" +
           kUserAgentLine;
}

// --------------------------------------------------------------- fixture

class PluginTest : public ::testing::Test, protected PluginEntries {
protected:
    void SetUp() override {
        module_ = LoadLibraryA(kPluginFile);
        ASSERT_NE(module_, (HMODULE)NULL) << "LoadLibraryA(" << kPluginFile
                                          << ") failed, error " << GetLastError();
        FindPluginEntries(module_, this);
        ASSERT_TRUE(HasAnsiSet() && HasWideSet());
    }

    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }

    HMODULE module_ = NULL;
};

// ------------------------------------------------------------------ exports

TEST_F(PluginTest, ExportsPlainNamesWithAlphabeticalOrdinalsAndNoDecoratedNames) {
    struct Row {
        const char* name;
        int ordinal;
        const char* decorated;  // the i386 __stdcall symbol, never exported
    };
    const Row rows[] = {
        {"GetArchiveInfo", 1, "GetArchiveInfo@16"},   {"GetFile", 2, "GetFile@24"},
        {"GetFileInfo", 3, "GetFileInfo@20"},         {"GetPluginInfo", 4, "GetPluginInfo@12"},
        {"IsSupported", 5, "IsSupported@8"},          {"GetArchiveInfoW", 6, "GetArchiveInfoW@16"},
        {"GetFileW", 7, "GetFileW@24"},               {"GetFileInfoW", 8, "GetFileInfoW@20"},
        {"GetPluginInfoW", 9, "GetPluginInfoW@12"},   {"IsSupportedW", 10, "IsSupportedW@8"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        FARPROC byName = GetProcAddress(module_, r.name);
        FARPROC byOrdinal = GetProcAddress(module_, MAKEINTRESOURCEA(r.ordinal));
        EXPECT_NE(byName, (FARPROC)NULL);
        EXPECT_EQ(byName, byOrdinal) << "ordinal " << r.ordinal;
        EXPECT_EQ(GetProcAddress(module_, r.decorated), (FARPROC)NULL) << r.decorated;
        std::string underscored = std::string("_") + r.decorated;
        EXPECT_EQ(GetProcAddress(module_, underscored.c_str()), (FARPROC)NULL) << underscored;
    }
}

TEST_F(PluginTest, ExportDirectoryHoldsTheModuleNameAndOnlyTheTenEntries) {
    std::string moduleName;
    std::vector<std::string> names;
    ASSERT_TRUE(ReadExportNames(module_, &moduleName, &names));
    EXPECT_EQ(moduleName, kPluginFile);
    // The name table is sorted, as the loader's binary search needs.
    const std::vector<std::string> expected = {
        "GetArchiveInfo", "GetArchiveInfoW", "GetFile",        "GetFileInfo",
        "GetFileInfoW",   "GetFileW",        "GetPluginInfo",  "GetPluginInfoW",
        "IsSupported",    "IsSupportedW"};
    EXPECT_EQ(names, expected);
}

// ----------------------------------------------------------------- identity

const size_t kGuard = 8;  // bytes past the buffer length that must stay untouched
const char kFill = (char)0xCC;

TEST_F(PluginTest, GetPluginInfoCopiesEachTextPaddedWithNul) {
    struct Row {
        int infono;
        int buflen;
        const char* text;  // NULL: the index is refused
        bool prefixOnly;   // text 1: only its first line is fixed
    };
    const Row rows[] = {
        {0, 16, "00AM", false},
        {1, 256, "Pelloran ver 0.6\n", true},
        {2, 16, "*.ykt", false},
        {3, 32, "Pelloran(*.ykt)", false},
        {4, 16, NULL, false},
        {-1, 16, NULL, false},
        {0x7FFFFFFF, 16, NULL, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("infono " + std::to_string(r.infono));
        std::vector<char> buf((size_t)r.buflen + kGuard, kFill);
        int got = getPluginInfo(r.infono, buf.data(), r.buflen);
        for (size_t i = (size_t)r.buflen; i < buf.size(); ++i) {
            ASSERT_EQ(buf[i], kFill) << "write past the buffer at " << i;
        }
        if (!r.text) {
            EXPECT_EQ(got, 0);
            for (int i = 0; i < r.buflen; ++i) ASSERT_EQ(buf[(size_t)i], kFill) << "byte " << i;
            continue;
        }
        size_t length = strnlen(buf.data(), (size_t)r.buflen);
        ASSERT_LT(length, (size_t)r.buflen) << "text not terminated";
        std::string copied(buf.data(), length);
        if (r.prefixOnly) {
            EXPECT_EQ(copied.compare(0, strlen(r.text), r.text), 0) << "got '" << copied << "'";
            EXPECT_GT(copied.size(), strlen(r.text)) << "the maker's line is missing";
        } else {
            EXPECT_EQ(copied, r.text);
        }
        EXPECT_EQ(got, (int)length);
        for (int i = (int)length; i < r.buflen; ++i) {
            ASSERT_EQ(buf[(size_t)i], '\0') << "padding byte " << i;
        }
    }
}

TEST_F(PluginTest, GetPluginInfoNeverWritesPastAShortBuffer) {
    struct Row {
        int infono;
        int buflen;
    };
    const Row rows[] = {{0, 4}, {0, 3}, {0, 1}, {0, 0}, {0, -5}, {3, 15}, {1, 10}, {2, 2}};
    const char* texts[] = {"00AM", "Pelloran ver 0.6\n", "*.ykt", "Pelloran(*.ykt)"};
    for (const Row& r : rows) {
        SCOPED_TRACE("infono " + std::to_string(r.infono) + ", buflen " + std::to_string(r.buflen));
        size_t room = r.buflen > 0 ? (size_t)r.buflen : 0;
        std::vector<char> buf(room + kGuard, kFill);
        int got = getPluginInfo(r.infono, buf.data(), r.buflen);
        for (size_t i = room; i < buf.size(); ++i) {
            ASSERT_EQ(buf[i], kFill) << "write past the buffer at " << i;
        }
        EXPECT_GE(got, 0);
        EXPECT_LE(got, (int)room);
        EXPECT_EQ(memcmp(buf.data(), texts[r.infono], (size_t)(got > 0 ? got : 0)), 0);
    }
}

TEST_F(PluginTest, IsSupportedLooksAtTheLastThreeCharactersOnly) {
    struct Row {
        const char* name;
        int expected;
    };
    const Row rows[] = {
        {"list.ykt", 1},     {"LIST.YKT", 1},   {"list.Ykt", 0},       {"list.yKT", 0},
        {"listykt", 1},      {"ykt", 1},        {"kt", 0},             {"", 0},
        {"list.txt", 0},     {"list.ykt ", 0},  {"C:\\x\\a.YKT", 1},   {"list.yk", 0},
    };
    // The second argument is a file handle or the file's first bytes in the
    // host interface; recognition is by name alone, so neither may matter.
    static const char garbage[] = "http://127.0.0.1/\r\n\xff\xfe not a list";
    const DWORD_PTR seconds[] = {0, reinterpret_cast<DWORD_PTR>(garbage), (DWORD_PTR)0xFFFFFFFF};
    for (const Row& r : rows) {
        for (DWORD_PTR dw : seconds) {
            EXPECT_EQ(isSupported(r.name, dw), r.expected)
                << "name '" << r.name << "', second argument " << dw;
        }
    }
}

#ifdef __i386__
// ----------------------------------------------------------- stack balance

TEST_F(PluginTest, EveryEntryPointRemovesItsOwnArgumentsFromTheStack) {
    char info[16];
    static const char noAddress[] = "no address on this line\r\n";
    static const char notHttp[] = "ftp://127.0.0.1/x\r\n";
    HLOCAL listing = NULL;
    HLOCAL extracted = NULL;
    fileInfo record;
    struct Row {
        const char* entry;
        const void* fn;
        std::vector<uint32_t> args;
        int expected;
    };
    const Row rows[] = {
        {"GetPluginInfo", (const void*)getPluginInfo, {0, Arg(info), sizeof info}, 4},
        {"IsSupported", (const void*)isSupported, {Arg("a.ykt"), 0}, 1},
        {"GetArchiveInfo",
         (const void*)getArchiveInfo,
         {Arg(noAddress), sizeof noAddress - 1, kMemoryInput, Arg(&listing)},
         SPI_SUCCESS},
        {"GetFileInfo",
         (const void*)getFileInfo,
         {Arg(noAddress), sizeof noAddress - 1, Arg("x.png"), kMemoryInput, Arg(&record)},
         SPI_FILE_READ_ERROR},
        {"GetFile",
         (const void*)getFile,
         {Arg(notHttp), sizeof notHttp - 1, Arg(&extracted), kMemoryInMemoryOut, 0, 0},
         SPI_BROKEN_DATA},
    };
    for (const Row& r : rows) {
        int delta = 12345;
        int got = StdcallProbe(r.fn, r.args.data(), (int)r.args.size(), &delta);
        EXPECT_EQ(delta, 0) << r.entry << ": ESP moved across the call (" << r.args.size()
                            << " arguments pushed)";
        EXPECT_EQ(got, r.expected) << r.entry;
    }
    if (listing) LocalFree(listing);
    EXPECT_EQ(extracted, (HLOCAL)NULL) << "GetFile stored a block on failure";
}
#endif  // __i386__

// ----------------------------------------------------- GetFileInfo message box

// A lookup asks nobody anything: the plug-in has no user interface at all
// (nothing of user32 that could show one is imported; a display test in the
// end-to-end tests runs a lookup on a real X display).
TEST_F(PluginTest, GetFileInfoShowsNoDialogAndFindsTheExactName) {
    for (const char* ui : {"MessageBoxA", "MessageBoxW", "MessageBoxExA", "MessageBoxExW",
                           "DialogBoxParamA", "DialogBoxParamW", "CreateWindowExA",
                           "CreateWindowExW"}) {
        EXPECT_EQ(FindImportSlot(module_, "USER32.dll", ui), (FARPROC*)NULL) << ui;
    }
    HostWinsock winsock;
    ASSERT_EQ(winsock.started, 0);
    LoopbackServer server(std::string("HTTP/1.0 200 OK\r\nDate: x\r\n\r\nhello"));
    ASSERT_TRUE(server.listening());
    std::string port = std::to_string(server.port());
    std::string served = "http://127.0.0.1:" + port + "/dir/pic.png\r\n";
    std::string refused = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/x.png\r\n";
    std::string noAddress = "just some text\r\n";

    struct Row {
        const char* what;
        const char* source;  // the image, or a file name when !memory
        bool memory;
        const char* name;
        int expected;
    };
    const Row rows[] = {
        {"found and downloaded", served.c_str(), true, "pic.png", SPI_SUCCESS},
        {"no line has the name", served.c_str(), true, "other.png", SPI_FILE_READ_ERROR},
        {"names differ in case", served.c_str(), true, "PIC.PNG", SPI_FILE_READ_ERROR},
        {"empty image", "", true, "pic.png", SPI_FILE_READ_ERROR},
        {"line without an address", noAddress.c_str(), true, "index.html", SPI_FILE_READ_ERROR},
        {"server refuses", refused.c_str(), true, "x.png", SPI_FILE_READ_ERROR},
        {"list file missing", "no-such-list.ykt", false, "pic.png", SPI_FILE_READ_ERROR},
        {"empty name", served.c_str(), true, "", SPI_FILE_READ_ERROR},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        fileInfo info;
        memset(&info, 0xAB, sizeof info);
        LONG_PTR len = r.memory ? (LONG_PTR)strlen(r.source) : 0;
        DWORD start = GetTickCount();
        int got = getFileInfo(r.source, len, r.name, r.memory ? kMemoryInput : 0, &info);
        EXPECT_LT(GetTickCount() - start, 1000u) << "a lookup waited (on a display: a dialog?)";
        EXPECT_EQ(got, r.expected);
        if (got == SPI_SUCCESS) {
            EXPECT_STREQ(info.method, "YKTPK");
            EXPECT_EQ(info.position, 0u);
            EXPECT_EQ(info.filesize, 5u);
            EXPECT_EQ(info.compsize, 5u);
            EXPECT_EQ(info.timestamp, 0) << "an unparsable Date gives 0";
            EXPECT_STREQ(info.filename, "pic.png");
            EXPECT_EQ(info.path[0], '\0');
            EXPECT_EQ(info.crc, 0u);
        }
    }
    server.Stop();
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0], ExpectedRequest("/dir/pic.png", (unsigned short)server.port()));
}

// ------------------------------------------------------ default port and look-up

// Stand-ins for the plug-in's connect and getaddrinfo imports: they log
// what the plug-in asked for, pass it on, and send a connection to
// 127.0.0.1:80 to the test's server instead. Any other address than
// 127.0.0.1 is refused, and any name but "localhost" and "127.0.0.1" is not
// resolved, so nothing can leave the loopback interface, not even a name query.
typedef int(WINAPI* ConnectFn)(SOCKET s, const sockaddr* name, int namelen);
typedef int(WINAPI* GetAddrInfoFn)(const char* node, const char* service, const ADDRINFOA* hints,
                                   ADDRINFOA** result);
ConnectFn g_realConnect = NULL;
GetAddrInfoFn g_realGetAddrInfo = NULL;
unsigned short g_port80Target = 0;
std::vector<std::string> g_connects;  // "a.b.c.d:port" as asked for
std::vector<std::string> g_lookups;

int WINAPI RedirectingConnect(SOCKET s, const sockaddr* name, int namelen) {
    sockaddr_in sa;
    if (namelen < (int)sizeof sa || name->sa_family != AF_INET) {
        g_connects.push_back("not IPv4");
        WSASetLastError(WSAECONNREFUSED);
        return SOCKET_ERROR;
    }
    memcpy(&sa, name, sizeof sa);
    g_connects.push_back(std::string(inet_ntoa(sa.sin_addr)) + ":" +
                         std::to_string(ntohs(sa.sin_port)));
    if (sa.sin_addr.s_addr != inet_addr("127.0.0.1")) {
        WSASetLastError(WSAECONNREFUSED);
        return SOCKET_ERROR;
    }
    if (ntohs(sa.sin_port) == 80) sa.sin_port = htons(g_port80Target);
    return g_realConnect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

typedef void(WINAPI* FreeAddrInfoFn)(ADDRINFOA* list);
FreeAddrInfoFn g_realFreeAddrInfo = NULL;

// The name that resolves to two addresses: a documentation address that the
// connect stand-in refuses at once, then 127.0.0.1.
const char kTwoAddresses[] = "two.addresses.test";

int WINAPI LoggingGetAddrInfo(const char* node, const char* service, const ADDRINFOA* hints,
                              ADDRINFOA** result) {
    g_lookups.push_back(node ? node : "(null)");
    if (node && lstrcmpA(node, kTwoAddresses) == 0) {
        ADDRINFOA* first = NULL;
        ADDRINFOA* second = NULL;
        if (g_realGetAddrInfo("192.0.2.1", service, hints, &first) != 0) return WSAHOST_NOT_FOUND;
        if (g_realGetAddrInfo("127.0.0.1", service, hints, &second) != 0) {
            g_realFreeAddrInfo(first);
            return WSAHOST_NOT_FOUND;
        }
        first->ai_next = second;  // each list has one entry; freed one by one below
        *result = first;
        return 0;
    }
    if (!node || (lstrcmpiA(node, "localhost") != 0 && lstrcmpA(node, "127.0.0.1") != 0)) {
        return WSAHOST_NOT_FOUND;
    }
    return g_realGetAddrInfo(node, service, hints, result);
}

void WINAPI FreeEachAddrInfo(ADDRINFOA* list) {
    while (list) {
        ADDRINFOA* next = list->ai_next;
        list->ai_next = NULL;
        g_realFreeAddrInfo(list);
        list = next;
    }
}

template <typename Fn>
bool Reroute(HMODULE m, const char* funcName, Fn replacement, Fn* original) {
    FARPROC* slot = FindImportSlot(m, "WS2_32.dll", funcName);
    if (!slot) return false;
    *original = EntryAs<Fn>(*slot);
    return WriteSlot(slot, reinterpret_cast<FARPROC>(reinterpret_cast<void*>(replacement)));
}

bool WatchConnections(HMODULE m, unsigned short port80Target) {
    g_port80Target = port80Target;
    g_connects.clear();
    g_lookups.clear();
    return Reroute<ConnectFn>(m, "connect", RedirectingConnect, &g_realConnect) &&
           Reroute<GetAddrInfoFn>(m, "getaddrinfo", LoggingGetAddrInfo, &g_realGetAddrInfo) &&
           Reroute<FreeAddrInfoFn>(m, "freeaddrinfo", FreeEachAddrInfo, &g_realFreeAddrInfo);
}

int __stdcall NeverCancel(int, int, LONG_PTR) { return 0; }

// A host name with two addresses: the first refuses at once (no connect is
// left pending), so the download moves on to the second without waiting,
// watched by a progress callback or not.
TEST_F(PluginTest, EachAddressOfAHostIsTriedInTurn) {
    HostWinsock winsock;
    ASSERT_EQ(winsock.started, 0);
    // Not to be kept: the second download must connect again.
    LoopbackServer server(std::string("HTTP/1.0 200 OK\r\nCache-Control: no-store\r\n\r\nsecond"));
    ASSERT_TRUE(server.listening());
    ASSERT_TRUE(WatchConnections(module_, (unsigned short)server.port()));
    const std::string address = std::string("http://") + kTwoAddresses + "/x.txt";
    for (bool watched : {false, true}) {
        SCOPED_TRACE(watched ? "watched" : "not watched");
        g_connects.clear();
        HLOCAL block = NULL;
        DWORD start = GetTickCount();
        int got = getFile(address.c_str(), (LONG_PTR)address.size(), reinterpret_cast<LPSTR>(&block),
                          kMemoryInMemoryOut, watched ? NeverCancel : NULL, 0);
        ASSERT_EQ(got, SPI_SUCCESS);
        EXPECT_EQ(LocalSize(block), 6u);
        LocalFree(block);
        EXPECT_EQ(g_connects, (std::vector<std::string>{"192.0.2.1:80", "127.0.0.1:80"}));
        EXPECT_LT(GetTickCount() - start, 150u) << "the refused address was waited for";
    }
    server.Stop();
    EXPECT_NE(server.Requests().at(0).find("\r\nHost: two.addresses.test\r\n"),
              std::string::npos);
}

// Port 80 is the default: Host carries no port, as browsers send it; the
// host is looked up in its ASCII form, lower-cased.
TEST_F(PluginTest, AddressWithoutPortGoesToPort80AndHostCarriesNoDefaultPort) {
    struct Row {
        const char* address;  // the list line
        const char* path;     // sent in the request line
        const char* host;     // the Host line's value
        const char* lookup;   // what getaddrinfo was asked for
    };
    const Row rows[] = {
        {"http://127.0.0.1/index.txt", "/index.txt", "127.0.0.1", "127.0.0.1"},
        {"http://127.0.0.1", "/", "127.0.0.1", "127.0.0.1"},
        {"http://127.0.0.1:80/explicit.txt", "/explicit.txt", "127.0.0.1", "127.0.0.1"},
        {"http://LocalHost/named.txt", "/named.txt", "localhost", "localhost"},
        {"http://127.0.0.1/frag.txt#part", "/frag.txt", "127.0.0.1", "127.0.0.1"},
        {"http://0x7f.1/hex.txt", "/hex.txt", "127.0.0.1", "127.0.0.1"},
    };
    const int count = (int)(sizeof rows / sizeof rows[0]);
    HostWinsock winsock;
    ASSERT_EQ(winsock.started, 0);
    LoopbackServer server(std::string("HTTP/1.0 200 OK\r\n\r\nport80"));
    ASSERT_TRUE(server.listening());
    ASSERT_TRUE(WatchConnections(module_, (unsigned short)server.port()));
    for (const Row& r : rows) {
        SCOPED_TRACE(r.address);
        g_connects.clear();
        g_lookups.clear();
        HLOCAL block = NULL;
        int got = getFile(r.address, (LONG_PTR)strlen(r.address), reinterpret_cast<LPSTR>(&block),
                           kMemoryInMemoryOut, NULL, 0);
        ASSERT_EQ(got, SPI_SUCCESS);
        EXPECT_EQ(LocalSize(block), 6u);
        LocalFree(block);
        EXPECT_EQ(g_connects, std::vector<std::string>{"127.0.0.1:80"});
        EXPECT_EQ(g_lookups, std::vector<std::string>{r.lookup});
    }
    server.Stop();
    std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), (size_t)count);
    for (int i = 0; i < count; ++i) {
        std::string expected = "GET " + std::string(rows[i].path) + " HTTP/1.1\r\nHost: " +
                               rows[i].host + "\r\n" + kUserAgentLine;
        EXPECT_EQ(requests[(size_t)i], expected) << rows[i].address;
    }
}

// A host name may hold 255 characters; one more is refused before any
// look-up or connection.
TEST_F(PluginTest, HostNameLongerThan255CharactersIsRefusedBeforeAnyLookUp) {
    struct Row {
        size_t hostPart;  // characters of the host name
        size_t lookups;
    };
    const Row rows[] = {{255, 1}, {256, 0}, {1000, 0}};
    HostWinsock winsock;
    ASSERT_EQ(winsock.started, 0);
    ASSERT_TRUE(WatchConnections(module_, UnusedLoopbackPort()));
    for (const Row& r : rows) {
        SCOPED_TRACE("host part of " + std::to_string(r.hostPart) + " characters");
        g_connects.clear();
        g_lookups.clear();
        std::string address = "http://" + std::string(r.hostPart, 'h') + ":8080" + "/member.txt";
        HLOCAL block = NULL;
        int got = getFile(address.c_str(), (LONG_PTR)address.size(),
                           reinterpret_cast<LPSTR>(&block), kMemoryInMemoryOut, NULL, 0);
        EXPECT_EQ(got, SPI_FILE_READ_ERROR);
        EXPECT_EQ(block, (HLOCAL)NULL);
        EXPECT_EQ(g_lookups.size(), r.lookups);
        EXPECT_TRUE(g_connects.empty());
    }
}

// ------------------------------------------------ socket start-ups per call

// Wine counts WSAStartup and WSACleanup calls. The host starts once; each
// call of the plug-in starts and cleans up within itself, so that nothing is
// left for the unload (which runs inside DllMain, where no Winsock call may
// run): with the plug-in still loaded, the host's own WSACleanup succeeds
// once and the next one finds nothing started.
TEST_F(PluginTest, EachCallCleansUpItsOwnSocketStartUp) {
    const int kDownloads = 2;
    ASSERT_EQ(WSACleanup(), SOCKET_ERROR) << "precondition: nothing started yet";
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &wsa), 0);
    const std::string body("hello\0world", 11);
    LoopbackServer server("HTTP/1.0 200 OK\r\nCache-Control: no-store\r\n\r\n" + body);
    ASSERT_TRUE(server.listening());
    std::string image = "http://127.0.0.1:" + std::to_string(server.port()) + "/hello.bin";

    for (int i = 0; i < kDownloads; ++i) {
        SCOPED_TRACE("download " + std::to_string(i));
        HLOCAL block = NULL;
        int got = getFile(image.c_str(), (LONG_PTR)image.size(), reinterpret_cast<LPSTR>(&block),
                           kMemoryInMemoryOut, NULL, 0);
        ASSERT_EQ(got, SPI_SUCCESS);
        ASSERT_NE(block, (HLOCAL)NULL);
        EXPECT_EQ(LocalSize(block), body.size()) << "the block is exactly the body's size";
        const char* bytes = static_cast<const char*>(LocalLock(block));
        EXPECT_EQ(std::string(bytes, body.size()), body);
        LocalUnlock(block);
        LocalFree(block);
    }
    server.Stop();
    ASSERT_EQ(server.Requests().size(), (size_t)kDownloads);
    EXPECT_EQ(server.Requests()[0], ExpectedRequest("/hello.bin", (unsigned short)server.port()));

    EXPECT_EQ(WSACleanup(), 0) << "the host's own start-up is still counted";
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR) << "a start-up of the plug-in outlived its call";
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

}  // namespace
