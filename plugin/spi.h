// The host interface of an archive plug-in: the member records and the
// exported entry points, in both widths (the result codes and the flag bits
// are in codes/results.h).
// KESTA.SPI (32-bit hosts) and KESTA.SPH (64-bit hosts) are built from the
// same sources; every difference of width and layout is decided here.
// Every export is __stdcall with its plain name (plugin/exports.def.in gives
// the ordinals); on x86-64 there is one calling convention and __stdcall is
// accepted and ignored.
#ifndef KESTA_PLUGIN_SPI_H
#define KESTA_PLUGIN_SPI_H

#include "codes/results.h"
#include "compat/win32.h"

const int kRecordNameCapacity = 200;  // the records' path and filename fields, NUL included

#pragma pack(push, 1)
// One member as a 32-bit host sees it: 428 bytes, little-endian, no gaps.
struct fileInfo32 {
    char method[8];      // "YKTPK"
    uint32_t position;   // offset of the 'h' of the member's address
    uint32_t compsize;   // body length
    uint32_t filesize;   // body length
    int32_t timestamp;   // seconds since 1970-01-01 00:00:00, fields read as UTC
    char path[kRecordNameCapacity];      // always empty
    char filename[kRecordNameCapacity];  // the member name, cut to 199 bytes
    uint32_t crc;        // always 0
};

// The same member for a 64-bit host: offsets, sizes and the timestamp are 64
// bits wide, and the record is padded to 448 bytes, which is also the stride
// of a listing.
struct fileInfo64 {
    char method[8];
    uint64_t position;
    uint64_t compsize;
    uint64_t filesize;
    int64_t timestamp;
    char path[kRecordNameCapacity];
    char filename[kRecordNameCapacity];
    uint32_t crc;
    uint8_t padding[4];  // always zero
};

// The records of the Unicode entry points: path and filename are UTF-16.
struct fileInfoW32 {
    char method[8];
    uint32_t position;
    uint32_t compsize;
    uint32_t filesize;
    int32_t timestamp;
    WCHAR path[kRecordNameCapacity];
    WCHAR filename[kRecordNameCapacity];
    uint32_t crc;
};

struct fileInfoW64 {
    char method[8];
    uint64_t position;
    uint64_t compsize;
    uint64_t filesize;
    int64_t timestamp;
    WCHAR path[kRecordNameCapacity];
    WCHAR filename[kRecordNameCapacity];
    uint32_t crc;
    uint8_t padding[4];
};
#pragma pack(pop)

// Every offset a host relies on, pinned.
static_assert(sizeof(WCHAR) == 2, "WCHAR is UTF-16");
static_assert(sizeof(fileInfo32) == 428, "fileInfo is 428 bytes in 32-bit hosts");
static_assert(offsetof(fileInfo32, method) == 0, "method at 0");
static_assert(offsetof(fileInfo32, position) == 8, "position at 8");
static_assert(offsetof(fileInfo32, compsize) == 12, "compsize at 12");
static_assert(offsetof(fileInfo32, filesize) == 16, "filesize at 16");
static_assert(offsetof(fileInfo32, timestamp) == 20, "timestamp at 20");
static_assert(offsetof(fileInfo32, path) == 24, "path at 24");
static_assert(offsetof(fileInfo32, filename) == 224, "filename at 224");
static_assert(offsetof(fileInfo32, crc) == 424, "crc at 424");

static_assert(sizeof(fileInfo64) == 448, "fileInfo is 448 bytes in 64-bit hosts");
static_assert(offsetof(fileInfo64, method) == 0, "method at 0");
static_assert(offsetof(fileInfo64, position) == 8, "position at 8");
static_assert(offsetof(fileInfo64, compsize) == 16, "compsize at 16");
static_assert(offsetof(fileInfo64, filesize) == 24, "filesize at 24");
static_assert(offsetof(fileInfo64, timestamp) == 32, "timestamp at 32");
static_assert(offsetof(fileInfo64, path) == 40, "path at 40");
static_assert(offsetof(fileInfo64, filename) == 240, "filename at 240");
static_assert(offsetof(fileInfo64, crc) == 440, "crc at 440");
static_assert(offsetof(fileInfo64, padding) == 444, "padding at 444");

static_assert(sizeof(fileInfoW32) == 828, "fileInfoW is 828 bytes in 32-bit hosts");
static_assert(offsetof(fileInfoW32, timestamp) == 20, "timestamp at 20");
static_assert(offsetof(fileInfoW32, path) == 24, "path at 24");
static_assert(offsetof(fileInfoW32, filename) == 424, "filename at 424");
static_assert(offsetof(fileInfoW32, crc) == 824, "crc at 824");

static_assert(sizeof(fileInfoW64) == 848, "fileInfoW is 848 bytes in 64-bit hosts");
static_assert(offsetof(fileInfoW64, timestamp) == 32, "timestamp at 32");
static_assert(offsetof(fileInfoW64, path) == 40, "path at 40");
static_assert(offsetof(fileInfoW64, filename) == 440, "filename at 440");
static_assert(offsetof(fileInfoW64, crc) == 840, "crc at 840");
static_assert(offsetof(fileInfoW64, padding) == 844, "padding at 844");

// The records of this build: a 64-bit plug-in (and the native test build,
// which is 64-bit) uses the 448-byte layout.
#if KESTA_64BIT
typedef fileInfo64 fileInfo;
typedef fileInfoW64 fileInfoW;
#else
typedef fileInfo32 fileInfo;
typedef fileInfoW32 fileInfoW;
#endif
static_assert(sizeof(LONG_PTR) == sizeof(void*), "the long argument is pointer-sized");

const char kMethod[] = "YKTPK";

// The host's progress callback: (done, total, datum). A non-zero result asks
// the plug-in to stop. The datum is the host's, passed through unchanged.
typedef int(__stdcall* SpiProgress)(int done, int total, LONG_PTR datum);

extern "C" {
int __stdcall GetPluginInfo(int infono, LPSTR buf, int buflen);
int __stdcall IsSupported(LPCSTR filename, DWORD_PTR dw);
int __stdcall GetArchiveInfo(LPCSTR source, LONG_PTR len, unsigned int flag, HLOCAL* listing);
int __stdcall GetFileInfo(LPCSTR source, LONG_PTR len, LPCSTR filename, unsigned int flag,
                          fileInfo* info);
int __stdcall GetFile(LPCSTR source, LONG_PTR len, LPSTR dest, unsigned int flag,
                      SpiProgress progress, LONG_PTR datum);

int __stdcall GetPluginInfoW(int infono, LPWSTR buf, int buflen);
int __stdcall IsSupportedW(LPCWSTR filename, void* dw);
int __stdcall GetArchiveInfoW(LPCWSTR source, LONG_PTR len, unsigned int flag, HLOCAL* listing);
int __stdcall GetFileInfoW(LPCWSTR source, LONG_PTR len, LPCWSTR filename, unsigned int flag,
                           fileInfoW* info);
int __stdcall GetFileW(LPCWSTR source, LONG_PTR len, LPWSTR dest, unsigned int flag,
                       SpiProgress progress, LONG_PTR datum);
}

// The entry points as a host declares them when it finds them with
// GetProcAddress: __stdcall, plain names.
typedef int(__stdcall* GetPluginInfoFn)(int infono, LPSTR buf, int buflen);
typedef int(__stdcall* IsSupportedFn)(LPCSTR filename, DWORD_PTR dw);
typedef int(__stdcall* GetArchiveInfoFn)(LPCSTR source, LONG_PTR len, unsigned int flag,
                                         HLOCAL* listing);
typedef int(__stdcall* GetFileInfoFn)(LPCSTR source, LONG_PTR len, LPCSTR filename,
                                      unsigned int flag, fileInfo* info);
typedef int(__stdcall* GetFileFn)(LPCSTR source, LONG_PTR len, LPSTR dest, unsigned int flag,
                                  SpiProgress progress, LONG_PTR datum);

typedef int(__stdcall* GetPluginInfoWFn)(int infono, LPWSTR buf, int buflen);
typedef int(__stdcall* IsSupportedWFn)(LPCWSTR filename, void* dw);
typedef int(__stdcall* GetArchiveInfoWFn)(LPCWSTR source, LONG_PTR len, unsigned int flag,
                                          HLOCAL* listing);
typedef int(__stdcall* GetFileInfoWFn)(LPCWSTR source, LONG_PTR len, LPCWSTR filename,
                                       unsigned int flag, fileInfoW* info);
typedef int(__stdcall* GetFileWFn)(LPCWSTR source, LONG_PTR len, LPWSTR dest, unsigned int flag,
                                   SpiProgress progress, LONG_PTR datum);

#endif  // KESTA_PLUGIN_SPI_H
