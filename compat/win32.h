// The Win32 surface that the plug-in's sources use, in one place.
// In the Windows build this is simply <windows.h> and Winsock 2. In the
// native Linux test build it declares small stand-ins (compat/win32_stub.cpp)
// so the same sources run under AddressSanitizer, UBSan and libFuzzer.
// No other file of the plug-in tests the platform.
#ifndef KESTA_COMPAT_WIN32_H
#define KESTA_COMPAT_WIN32_H

#include <stddef.h>
#include <stdint.h>

// The width of the host's records: 64-bit Windows, and the native test build
// (64-bit Linux), use the 64-bit layouts; 32-bit Windows the 32-bit ones.
#if defined(_WIN64) || (!defined(_WIN32) && UINTPTR_MAX > 0xFFFFFFFFu)
#define KESTA_64BIT 1
#else
#define KESTA_64BIT 0
#endif

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// Winsock 2 before windows.h: getaddrinfo gives every address of a host,
// IPv6 included.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

// The length argument of getsockopt and getpeername.
typedef int SocketLength;

// A blocking recv on `s` gives up after `milliseconds` without a byte
// (WSAETIMEDOUT).
inline bool SetReceiveTimeout(SOCKET s, DWORD milliseconds) {
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds),
                      sizeof milliseconds) == 0;
}

// Keeps the loaded ws2_32.dll in the process until it ends, whatever the
// FreeLibrary calls that follow (http/socket.cpp says why).
inline void PinSocketLibrary() {
    HMODULE m = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"ws2_32.dll", &m);
}

// A domain name to its ASCII form (xn-- labels) as the system's IDNA does:
// IdnToAscii with no flags (unassigned code points and STD3 rules not
// applied). Returns the UTF-16 units written to `out` (no NUL added), or 0
// when the name is not valid or the result does not fit `outChars`.
inline int DomainToAscii(const WCHAR* in, int inChars, WCHAR* out, int outChars) {
    return IdnToAscii(0, in, inChars, out, outChars);
}

// The reverse, IdnToUnicode with no flags: "xn--" labels decoded. Returns the
// units written, or 0.
inline int DomainToUnicode(const WCHAR* in, int inChars, WCHAR* out, int outChars) {
    return IdnToUnicode(0, in, inChars, out, outChars);
}

#else  // native stand-ins

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#define WINAPI
#define __stdcall

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef uint32_t LCID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef char16_t WCHAR;  // UTF-16, as on Windows
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef void* HANDLE;
typedef void* HWND;
typedef void* HLOCAL;
typedef void* HGLOBAL;
typedef void* HMODULE;
typedef intptr_t (*FARPROC)(void);
typedef size_t SIZE_T;
typedef uintptr_t DWORD_PTR;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME;

#define TRUE 1
#define FALSE 0

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
#define GMEM_FIXED 0x0000

#define LOCALE_USER_DEFAULT 0x0400
#define NORM_IGNORECASE 0x00000001
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3


HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
void* LocalLock(HLOCAL mem);
BOOL LocalUnlock(HLOCAL mem);
SIZE_T LocalSize(HLOCAL mem);
HLOCAL LocalFree(HLOCAL mem);

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL GlobalFree(HGLOBAL mem);

int CompareStringA(LCID locale, DWORD flags, const char* a, int alen, const char* b, int blen);
int lstrlenA(const char* s);
int lstrcmpiA(const char* a, const char* b);
int GetDateFormatA(LCID locale, DWORD flags, const SYSTEMTIME* st, const char* picture, char* out,
                   int outlen);
int GetTimeFormatA(LCID locale, DWORD flags, const SYSTEMTIME* st, const char* picture, char* out,
                   int outlen);

// Code pages: the ANSI (and OEM) code page is Latin-1 by default (each byte
// one character, as Windows-1252 but for 0x80 to 0x9F), or Shift-JIS (932)
// once a test asks for it with stub::SetAnsiCodePage.
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int bytes, LPWSTR out,
                        int chars);
// The reverse for the ANSI code page: a character it cannot hold becomes the
// first byte of `defaultChar` (best fit is never used here).
#define WC_NO_BEST_FIT_CHARS 0x00000400
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int chars, char* out, int bytes,
                        const char* defaultChar, BOOL* usedDefault);
BOOL IsDBCSLeadByteEx(UINT codePage, BYTE c);
BOOL AreFileApisANSI(void);  // TRUE until a test calls stub::SetFileApisToOem

// Files, by UTF-16 names (stored on Linux as UTF-8). A handle is a file
// descriptor plus one, so that 0 (NULL) is never a valid handle.
typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        int32_t HighPart;
    } u;
    int64_t QuadPart;
} LARGE_INTEGER;
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAX_PATH 260
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_NEW 1
#define OPEN_EXISTING 3
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define ERROR_FILE_EXISTS 80
#define ERROR_ALREADY_EXISTS 183
#define FILE_SHARE_DELETE 0x00000004
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
// The name is gone at once here (the file lives on until its handle is
// closed), where Windows deletes it at the close.
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
// ReadFile and WriteFile take only the position from an OVERLAPPED.
typedef struct {
    uintptr_t Internal, InternalHigh;
    DWORD Offset, OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED;
typedef union {
    struct {
        DWORD LowPart, HighPart;
    } u;
    uint64_t QuadPart;
} ULARGE_INTEGER;
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD attributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytes, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes, DWORD* written, OVERLAPPED* overlapped);
// $TMPDIR (else /tmp) with a '/' at the end, as Windows ends it with '\\'.
DWORD GetTempPathW(DWORD chars, LPWSTR out);
BOOL GetDiskFreeSpaceExW(LPCWSTR directory, ULARGE_INTEGER* available, ULARGE_INTEGER* total,
                         ULARGE_INTEGER* totalFree);
DWORD GetCurrentProcessId(void);
typedef struct {
    DWORD dwLowDateTime, dwHighDateTime;
} FILETIME;
void GetSystemTimeAsFileTime(FILETIME* time);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
BOOL CloseHandle(HANDLE handle);
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
BOOL DeleteFileW(LPCWSTR name);
DWORD GetLastError(void);

// Milliseconds since an arbitrary start, wrapping every 49.7 days.
DWORD GetTickCount(void);

// Threads and a lock, as the listing uses them. A thread's handle is closed
// with CloseHandle like a file's.
typedef void* LPVOID;
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID parameter);
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000
HANDLE CreateThread(void* security, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, DWORD* id);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);  // threads, INFINITE only

typedef struct {
    void* Ptr;
} SRWLOCK;
#define SRWLOCK_INIT {0}
void AcquireSRWLockExclusive(SRWLOCK* lock);
void ReleaseSRWLockExclusive(SRWLOCK* lock);

// Winsock: BSD sockets already carry socket, connect, send, recv, select,
// shutdown, getaddrinfo, freeaddrinfo and htons under the same names.
typedef int SOCKET;
#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)
#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
} WSADATA;
#define MAKEWORD(lo, hi) ((WORD)(((BYTE)(lo)) | (((WORD)((BYTE)(hi))) << 8)))

typedef socklen_t SocketLength;
int ioctlsocket(SOCKET s, long command, u_long* argument);  // FIONBIO only

// The error of the last socket call on this thread, in Winsock's numbering
// for the one case the plug-in tells apart: a non-blocking connect under way.
#define WSAEWOULDBLOCK 10035
#define WSAETIMEDOUT 10060
int WSAGetLastError(void);

// A blocking recv on `s` gives up after `milliseconds` without a byte (the
// error then reads as WSAEWOULDBLOCK here).
bool SetReceiveTimeout(SOCKET s, DWORD milliseconds);

int WSAStartup(WORD version, WSADATA* data);
int WSACleanup(void);
int closesocket(SOCKET s);

// Nothing is ever unloaded here.
inline void PinSocketLibrary() {}

// A plain stand-in for IdnToAscii (compat/idna_stub.cpp), not UTS #46:
// ASCII letters lowered, a label holding non-ASCII encoded with RFC 3492
// punycode as "xn--...", an "xn--" label checked to decode to non-ASCII, and
// no other mapping. Returns the UTF-16 units written, or 0.
int DomainToAscii(const WCHAR* in, int inChars, WCHAR* out, int outChars);
// Its reverse: "xn--" labels decoded (0 when one does not decode), the rest
// copied with ASCII letters lowered.
int DomainToUnicode(const WCHAR* in, int inChars, WCHAR* out, int outChars);

// Hooks for the native tests only: counts of live blocks and socket-library
// start-ups, and a switch that makes allocations fail.
namespace stub {
long LiveBlocks();              // Local and Global blocks not yet freed
size_t PeakBytes();             // most bytes held in blocks at once since ResetPeakBytes
void ResetPeakBytes();
void FailAllocationsAfter(long n);  // the (n+1)-th allocation on fails; -1 turns it off
int WsaStartups();              // WSAStartup calls not yet matched by WSACleanup
void SetAnsiCodePage(UINT codePage);  // 1252 (the default, read as Latin-1) or 932
void SetFileApisToOem(bool oem);
}  // namespace stub

#endif  // _WIN32

#endif  // KESTA_COMPAT_WIN32_H
