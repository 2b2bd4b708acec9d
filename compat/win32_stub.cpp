// Native stand-ins for the Win32 calls that the plug-in makes, for the Linux
// test build only. Each does what the plug-in relies on and no more:
// memory blocks remember their size; the comparisons fold ASCII letters only;
// the date validators accept exactly the Gregorian dates and 24-hour times.
#include "compat/win32.h"

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <time.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>

namespace {

// Every block carries its size in front of the caller's bytes, so LocalSize
// works, the tests can count bytes held, and AddressSanitizer sees the exact
// extent.
struct alignas(16) BlockHeader {
    size_t bytes;
    size_t magic;
};
const size_t kMagic = 0x4B455354u;

// Atomic: the listing downloads from several threads at once.
std::atomic<long> g_live{0};
std::atomic<size_t> g_live_bytes{0};
std::atomic<size_t> g_peak_bytes{0};

void CountBytes(size_t added, size_t removed) {
    size_t now = g_live_bytes += added;
    size_t peak = g_peak_bytes.load();
    while (now > peak && !g_peak_bytes.compare_exchange_weak(peak, now)) {
    }
    g_live_bytes -= removed;
}
std::atomic<long> g_allocations_left{-1};  // -1: never fail
std::atomic<int> g_wsa_startups{0};

bool AllocationAllowed() {
    long left = g_allocations_left.load();
    for (;;) {
        if (left < 0) return true;
        if (left == 0) return false;
        if (g_allocations_left.compare_exchange_weak(left, left - 1)) return true;
    }
}

BlockHeader* HeaderOf(void* mem) {
    BlockHeader* h = static_cast<BlockHeader*>(mem) - 1;
    if (h->magic != kMagic) abort();  // not one of ours: a bug in the caller
    return h;
}

void* NewBlock(UINT flags, size_t bytes) {
    if (!AllocationAllowed()) return NULL;
    BlockHeader* h = static_cast<BlockHeader*>(malloc(sizeof(BlockHeader) + bytes));
    if (!h) return NULL;
    h->bytes = bytes;
    h->magic = kMagic;
    if (flags & LMEM_ZEROINIT) memset(h + 1, 0, bytes);
    ++g_live;
    CountBytes(bytes, 0);
    return h + 1;
}

void* FreeBlock(void* mem) {
    if (!mem) return NULL;
    BlockHeader* h = HeaderOf(mem);
    CountBytes(0, h->bytes);
    h->magic = 0;
    free(h);
    --g_live;
    return NULL;
}

int FoldAscii(int c) { return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c; }

// Winsock reports a send on a closed connection as an error; Linux would
// raise SIGPIPE and end the test process instead.
struct IgnoreBrokenPipes {
    IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }
} g_ignore_broken_pipes;

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

thread_local DWORD g_last_error = 0;

int FdOf(HANDLE h) { return (int)((intptr_t)h - 1); }

// A UTF-16 text as UTF-8, for the Linux file system and messages. Unpaired
// surrogates become U+FFFD.
std::string Utf8(LPCWSTR w);

// A Windows path as a Linux one: UTF-8, with '\\' as a separator like '/'.
std::string LinuxPath(LPCWSTR w) {
    std::string path = Utf8(w);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

std::string Utf8(LPCWSTR w) {
    std::string out;
    if (!w) return out;
    for (size_t i = 0; w[i]; ++i) {
        uint32_t c = w[i];
        if (c >= 0xD800 && c <= 0xDBFF && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (w[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) { return NewBlock(flags, bytes); }
void* LocalLock(HLOCAL mem) { return mem; }
BOOL LocalUnlock(HLOCAL) { return FALSE; }  // fixed blocks are never locked
SIZE_T LocalSize(HLOCAL mem) { return mem ? HeaderOf(mem)->bytes : 0; }
HLOCAL LocalFree(HLOCAL mem) { return FreeBlock(mem); }

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) { return NewBlock(flags, bytes); }
HGLOBAL GlobalFree(HGLOBAL mem) { return FreeBlock(mem); }

int CompareStringA(LCID, DWORD flags, const char* a, int alen, const char* b, int blen) {
    if (!a || !b) return 0;
    if (alen < 0) alen = (int)strlen(a);
    if (blen < 0) blen = (int)strlen(b);
    int n = alen < blen ? alen : blen;
    for (int i = 0; i < n; ++i) {
        int x = (unsigned char)a[i], y = (unsigned char)b[i];
        if (flags & NORM_IGNORECASE) {
            x = FoldAscii(x);
            y = FoldAscii(y);
        }
        if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    if (alen == blen) return CSTR_EQUAL;
    return alen < blen ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

int lstrlenA(const char* s) { return s ? (int)strlen(s) : 0; }

int lstrcmpiA(const char* a, const char* b) {
    int r = CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a, -1, b, -1);
    return r - 2;
}

// Both validators write a fixed text: the plug-in discards it and reads only
// whether the call succeeded.
static int WriteText(const char* text, char* out, int outlen) {
    int n = (int)strlen(text) + 1;
    if (outlen == 0) return n;
    if (!out || outlen < n) return 0;
    memcpy(out, text, (size_t)n);
    return n;
}

int GetDateFormatA(LCID, DWORD, const SYSTEMTIME* st, const char*, char* out, int outlen) {
    static const unsigned char kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (!st || st->wYear < 1601 || st->wYear > 30827) return 0;
    if (st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1) return 0;
    unsigned days = kDays[st->wMonth - 1] + (st->wMonth == 2 && IsLeap(st->wYear) ? 1 : 0);
    if (st->wDay > days) return 0;
    return WriteText("date", out, outlen);
}

int GetTimeFormatA(LCID, DWORD, const SYSTEMTIME* st, const char*, char* out, int outlen) {
    if (!st || st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999)
        return 0;
    return WriteText("time", out, outlen);
}

namespace {

std::atomic<UINT> g_ansi_code_page{1252};
std::atomic<bool> g_file_apis_oem{false};

// Shift-JIS to UTF-16 through iconv, for the tests of code page 932.
int FromShiftJis(const char* text, int bytes, LPWSTR out, int chars) {
    iconv_t cd = iconv_open("UTF-16LE", "CP932");
    if (cd == (iconv_t)-1) return 0;
    std::string wide((size_t)bytes * 4 + 4, '\0');
    char* in = const_cast<char*>(text);
    size_t inLeft = (size_t)bytes;
    char* to = &wide[0];
    size_t toLeft = wide.size();
    size_t done = iconv(cd, &in, &inLeft, &to, &toLeft);
    iconv_close(cd);
    if (done == (size_t)-1) return 0;
    int n = (int)((wide.size() - toLeft) / 2);
    if (chars == 0) return n;
    if (!out || chars < n) return 0;
    memcpy(out, wide.data(), (size_t)n * 2);
    return n;
}

}  // namespace

int MultiByteToWideChar(UINT codePage, DWORD, const char* text, int bytes, LPWSTR out, int chars) {
    if (!text) return 0;
    int n = bytes < 0 ? (int)strlen(text) + 1 : bytes;
    bool ansi = codePage == CP_ACP || codePage == CP_OEMCP;
    if (ansi && g_ansi_code_page == 932) return FromShiftJis(text, n, out, chars);
    if (chars == 0) return n;
    if (!out || chars < n) return 0;
    for (int i = 0; i < n; ++i) out[i] = (WCHAR)(unsigned char)text[i];
    return n;
}

namespace {

// One UTF-16 unit to Shift-JIS through iconv: its 1 or 2 bytes, or 0.
int ToShiftJis(WCHAR c, char* out) {
    iconv_t cd = iconv_open("CP932", "UTF-16LE");
    if (cd == (iconv_t)-1) return 0;
    char unit[2] = {(char)(c & 0xFF), (char)(c >> 8)};
    char* in = unit;
    size_t inLeft = 2;
    char* to = out;
    size_t toLeft = 2;
    size_t done = iconv(cd, &in, &inLeft, &to, &toLeft);
    iconv_close(cd);
    return done == (size_t)-1 ? 0 : (int)(2 - toLeft);
}

}  // namespace

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR text, int chars, char* out, int bytes,
                        const char* defaultChar, BOOL* usedDefault) {
    if (!text) return 0;
    int n = 0;
    if (chars < 0) {
        while (text[n]) ++n;
        chars = n + 1;
    }
    bool sjis = (codePage == CP_ACP || codePage == CP_OEMCP) && g_ansi_code_page == 932;
    char fallback = defaultChar ? defaultChar[0] : '?';
    std::string result;
    for (int i = 0; i < chars; ++i) {
        WCHAR c = text[i];
        char bytesOf[2];
        int k = 0;
        if (c < 0x80 || (!sjis && c < 0x100)) {
            bytesOf[0] = (char)c;
            k = 1;
        } else if (sjis && (c < 0xD800 || c > 0xDFFF)) {
            // Only a conversion that comes back to the same character counts:
            // no best fit (iconv writes U+00A5 as 0x5C, which reads back as '\').
            k = ToShiftJis(c, bytesOf);
            WCHAR back[2] = {0, 0};
            if (k > 0 && (FromShiftJis(bytesOf, k, back, 2) != 1 || back[0] != c)) k = 0;
        }
        if (k == 0) {
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < chars) ++i;  // one for the pair
            if (usedDefault) *usedDefault = TRUE;
            bytesOf[0] = fallback;
            k = 1;
        }
        result.append(bytesOf, (size_t)k);
    }
    if (bytes == 0) return (int)result.size();
    if (!out || bytes < (int)result.size()) return 0;
    memcpy(out, result.data(), result.size());
    return (int)result.size();
}

BOOL IsDBCSLeadByteEx(UINT codePage, BYTE c) {
    bool ansi = codePage == CP_ACP || codePage == CP_OEMCP;
    if (!(codePage == 932 || (ansi && g_ansi_code_page == 932))) return FALSE;
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

BOOL AreFileApisANSI(void) { return !g_file_apis_oem; }

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD, void*, DWORD disposition, DWORD attributes,
                   HANDLE) {
    if (!name) return INVALID_HANDLE_VALUE;
    int flags = O_CLOEXEC;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE)) {
        flags |= O_RDWR;
    } else if (access & GENERIC_WRITE) {
        flags |= O_WRONLY;
    }
    if (disposition == CREATE_NEW) flags |= O_CREAT | O_EXCL;
    int fd = open(LinuxPath(name).c_str(), flags, 0666);
    if (fd < 0) {
        g_last_error = errno == EEXIST ? ERROR_FILE_EXISTS : 2;  // ERROR_FILE_NOT_FOUND
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // Windows does not open directories
        close(fd);
        g_last_error = 5;  // ERROR_ACCESS_DENIED
        return INVALID_HANDLE_VALUE;
    }
    if (attributes & FILE_FLAG_DELETE_ON_CLOSE) unlink(LinuxPath(name).c_str());
    return (HANDLE)(intptr_t)(fd + 1);
}

namespace {

off_t PositionOf(const OVERLAPPED* o) { return (off_t)(((uint64_t)o->OffsetHigh << 32) | o->Offset); }

}  // namespace

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytes, DWORD* read, OVERLAPPED* overlapped) {
    ssize_t n = overlapped ? ::pread(FdOf(file), buffer, bytes, PositionOf(overlapped))
                           : ::read(FdOf(file), buffer, bytes);
    if (read) *read = n > 0 ? (DWORD)n : 0;
    return n >= 0;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes, DWORD* written,
               OVERLAPPED* overlapped) {
    ssize_t n = overlapped ? ::pwrite(FdOf(file), buffer, bytes, PositionOf(overlapped))
                           : ::write(FdOf(file), buffer, bytes);
    if (written) *written = n > 0 ? (DWORD)n : 0;
    return n == (ssize_t)bytes;
}

DWORD GetTempPathW(DWORD chars, LPWSTR out) {
    const char* dir = getenv("TMPDIR");
    std::string path = dir && *dir ? dir : "/tmp";
    if (path.back() != '/') path += '/';
    if (path.size() + 1 > chars) return (DWORD)path.size() + 1;
    for (size_t i = 0; i <= path.size(); ++i) out[i] = (WCHAR)(unsigned char)path.c_str()[i];
    return (DWORD)path.size();
}

BOOL GetDiskFreeSpaceExW(LPCWSTR directory, ULARGE_INTEGER* available, ULARGE_INTEGER* total,
                         ULARGE_INTEGER* totalFree) {
    struct statvfs vfs;
    if (!directory || statvfs(LinuxPath(directory).c_str(), &vfs) != 0) return FALSE;
    if (available) available->QuadPart = (uint64_t)vfs.f_bavail * vfs.f_frsize;
    if (total) total->QuadPart = (uint64_t)vfs.f_blocks * vfs.f_frsize;
    if (totalFree) totalFree->QuadPart = (uint64_t)vfs.f_bfree * vfs.f_frsize;
    return TRUE;
}

DWORD GetCurrentProcessId(void) { return (DWORD)getpid(); }

void GetSystemTimeAsFileTime(FILETIME* time) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t ticks = ((uint64_t)ts.tv_sec + 11644473600ULL) * 10000000u + (uint64_t)ts.tv_nsec / 100;
    time->dwLowDateTime = (DWORD)ticks;
    time->dwHighDateTime = (DWORD)(ticks >> 32);
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
    struct stat st;
    if (fstat(FdOf(file), &st) != 0) return FALSE;
    size->QuadPart = st.st_size;
    return TRUE;
}

namespace {

// A thread's handle points at one of these; a file's is a small number.
struct Thread {
    size_t magic;
    pthread_t id;
    bool joined;
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
};
const size_t kThreadMagic = 0x54485244u;
const intptr_t kMostFileHandle = 1 << 24;

Thread* ThreadOf(HANDLE h) {
    if ((intptr_t)h <= kMostFileHandle) return NULL;
    Thread* t = static_cast<Thread*>(h);
    return t->magic == kThreadMagic ? t : NULL;
}

void* RunThread(void* p) {
    Thread* t = static_cast<Thread*>(p);
    t->start(t->parameter);
    return NULL;
}

}  // namespace

HANDLE CreateThread(void*, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                    DWORD* id) {
    Thread* t = new Thread{kThreadMagic, pthread_t(), false, start, parameter};
    if (pthread_create(&t->id, NULL, RunThread, t) != 0) {
        delete t;
        return NULL;
    }
    if (id) *id = 0;
    return t;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD) {
    Thread* t = ThreadOf(handle);
    if (!t) return 0xFFFFFFFFu;  // WAIT_FAILED
    if (!t->joined) pthread_join(t->id, NULL);
    t->joined = true;
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle) {
    Thread* t = ThreadOf(handle);
    if (!t) return close(FdOf(handle)) == 0;
    if (!t->joined) pthread_detach(t->id);
    t->magic = 0;
    delete t;
    return TRUE;
}

// A spin lock in the pointer's place: the lock is held a few microseconds.
void AcquireSRWLockExclusive(SRWLOCK* lock) {
    void* expected = NULL;
    while (!__atomic_compare_exchange_n(&lock->Ptr, &expected, (void*)1, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
        expected = NULL;
        sched_yield();
    }
}

void ReleaseSRWLockExclusive(SRWLOCK* lock) {
    __atomic_store_n(&lock->Ptr, (void*)NULL, __ATOMIC_RELEASE);
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (!from || !to) return FALSE;
    std::string f = LinuxPath(from), t = LinuxPath(to);
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && access(t.c_str(), F_OK) == 0) return FALSE;
    return rename(f.c_str(), t.c_str()) == 0;
}

BOOL DeleteFileW(LPCWSTR name) { return name && unlink(LinuxPath(name).c_str()) == 0; }

DWORD GetLastError(void) { return g_last_error; }

DWORD GetTickCount(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (DWORD)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

int WSAStartup(WORD version, WSADATA* data) {
    if (!data) return 10014;  // WSAEFAULT
    memset(data, 0, sizeof *data);
    data->wVersion = version;
    data->wHighVersion = MAKEWORD(2, 2);
    ++g_wsa_startups;
    return 0;
}

int WSACleanup(void) {
    int n = g_wsa_startups.load();
    do {
        if (n == 0) return SOCKET_ERROR;
    } while (!g_wsa_startups.compare_exchange_weak(n, n - 1));
    return 0;
}


int closesocket(SOCKET s) { return close(s); }

bool SetReceiveTimeout(SOCKET s, DWORD milliseconds) {
    struct timeval tv;
    tv.tv_sec = (time_t)(milliseconds / 1000);
    tv.tv_usec = (suseconds_t)(milliseconds % 1000) * 1000;
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

int WSAGetLastError(void) {
    return errno == EINPROGRESS || errno == EWOULDBLOCK ? WSAEWOULDBLOCK : 10000 + errno;
}

int ioctlsocket(SOCKET s, long command, u_long* argument) {
    int on = *argument != 0;
    return ioctl(s, (unsigned long)command, &on);
}

namespace stub {
long LiveBlocks() { return g_live; }
size_t PeakBytes() { return g_peak_bytes; }
void ResetPeakBytes() { g_peak_bytes = g_live_bytes.load(); }
void FailAllocationsAfter(long n) { g_allocations_left = n; }
int WsaStartups() { return g_wsa_startups; }
void SetAnsiCodePage(UINT codePage) { g_ansi_code_page = codePage; }
void SetFileApisToOem(bool oem) { g_file_apis_oem = oem; }
}  // namespace stub
