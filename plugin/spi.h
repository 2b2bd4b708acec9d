// The host interface of an archive plug-in: the member record, the result
// codes, the flag bits and the five exported entry points. Every export is
// __stdcall with its plain name (see kesta.def for the ordinals).
#ifndef KESTA_PLUGIN_SPI_H
#define KESTA_PLUGIN_SPI_H

#include "compat/win32.h"

// Result codes that the archive entry points return.
enum SpiResult {
    SPI_NOT_IMPLEMENTED = -1,  // a request this plug-in does not serve
    SPI_SUCCESS = 0,
    SPI_BROKEN_DATA = 3,       // start offset beyond the data; no "http://" at a position
    SPI_MEMORY_ERROR = 5,      // a block could not be allocated or locked
    SPI_FILE_READ_ERROR = 6,   // unreadable list, no such member, failed download
    SPI_FILE_WRITE_ERROR = 8,  // file output could not be written
};

// Bits 0 to 2 of the flag: 0 means the source is a file name, anything else
// a memory image. Bits 8 to 10: the output kind of GetFile (0 a file in a
// directory, 1 a memory block).
const unsigned kInputKindMask = 0x0007;
const unsigned kOutputKindMask = 0x0700;
const unsigned kOutputKindShift = 8;
const unsigned kOutputToFile = 0;
const unsigned kOutputToMemory = 1;

inline bool IsMemoryInput(unsigned flag) { return (flag & kInputKindMask) != 0; }

#pragma pack(push, 1)
// One member as the host sees it: 428 bytes, little-endian, no gaps.
struct fileInfo {
    char method[8];      // "YKTPK"
    uint32_t position;   // offset of the 'h' of the member's "http://"
    uint32_t compsize;   // body length
    uint32_t filesize;   // body length
    int32_t timestamp;   // seconds since 1970-01-01 00:00:00, fields read as UTC
    char path[200];      // always empty
    char filename[200];  // the member name, cut to 199 bytes
    uint32_t crc;        // always 0
};
#pragma pack(pop)

static_assert(sizeof(fileInfo) == 428, "fileInfo is 428 bytes");
static_assert(offsetof(fileInfo, method) == 0, "method at 0");
static_assert(offsetof(fileInfo, position) == 8, "position at 8");
static_assert(offsetof(fileInfo, compsize) == 12, "compsize at 12");
static_assert(offsetof(fileInfo, filesize) == 16, "filesize at 16");
static_assert(offsetof(fileInfo, timestamp) == 20, "timestamp at 20");
static_assert(offsetof(fileInfo, path) == 24, "path at 24");
static_assert(offsetof(fileInfo, filename) == 224, "filename at 224");
static_assert(offsetof(fileInfo, crc) == 424, "crc at 424");

const char kMethod[] = "YKTPK";
const int kRecordNameCapacity = 200;  // the record's filename field, NUL included

// A progress callback as the host passes it; this plug-in never calls it.
typedef int(__stdcall* SpiProgress)(int done, int total, long datum);

extern "C" {
int __stdcall GetPluginInfo(int infono, LPSTR buf, int buflen);
int __stdcall IsSupported(LPCSTR filename, DWORD_PTR dw);
int __stdcall GetArchiveInfo(LPCSTR source, long len, unsigned int flag, HLOCAL* listing);
int __stdcall GetFileInfo(LPCSTR source, long len, LPCSTR filename, unsigned int flag,
                          fileInfo* info);
int __stdcall GetFile(LPCSTR source, long len, LPSTR dest, unsigned int flag,
                      SpiProgress progress, long datum);
}

// The entry points as a host declares them when it finds them with
// GetProcAddress: __stdcall, plain names.
typedef int(__stdcall* GetPluginInfoFn)(int infono, LPSTR buf, int buflen);
typedef int(__stdcall* IsSupportedFn)(LPCSTR filename, DWORD_PTR dw);
typedef int(__stdcall* GetArchiveInfoFn)(LPCSTR source, long len, unsigned int flag,
                                         HLOCAL* listing);
typedef int(__stdcall* GetFileInfoFn)(LPCSTR source, long len, LPCSTR filename,
                                      unsigned int flag, fileInfo* info);
typedef int(__stdcall* GetFileFn)(LPCSTR source, long len, LPSTR dest, unsigned int flag,
                                  SpiProgress progress, long datum);

#endif  // KESTA_PLUGIN_SPI_H
