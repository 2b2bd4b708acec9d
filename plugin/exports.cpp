// The exported entry points, ANSI and Unicode. Each only forwards to the
// operation that serves it; the .def file gives their plain names and ordinals.
#include "plugin/plugin.h"

extern "C" {

int __stdcall GetPluginInfo(int infono, LPSTR buf, int buflen) {
    return CopyPluginInfo(infono, buf, buflen);
}

int __stdcall IsSupported(LPCSTR filename, DWORD_PTR) { return IsUrlListName(filename); }

int __stdcall GetArchiveInfo(LPCSTR source, LONG_PTR len, unsigned int flag, HLOCAL* listing) {
    return ListArchive(source, len, flag, listing);
}

int __stdcall GetFileInfo(LPCSTR source, LONG_PTR len, LPCSTR filename, unsigned int flag,
                          fileInfo* info) {
    return DescribeMember(source, len, filename, flag, info);
}

int __stdcall GetFile(LPCSTR source, LONG_PTR len, LPSTR dest, unsigned int flag, SpiProgress,
                      LONG_PTR) {
    return ExtractMember(source, len, dest, flag);
}

int __stdcall GetPluginInfoW(int, LPWSTR, int) { return 0; }

int __stdcall IsSupportedW(LPCWSTR, void*) { return 0; }

int __stdcall GetArchiveInfoW(LPCWSTR, LONG_PTR, unsigned int, HLOCAL*) {
    return SPI_NOT_IMPLEMENTED;
}

int __stdcall GetFileInfoW(LPCWSTR, LONG_PTR, LPCWSTR, unsigned int, fileInfoW*) {
    return SPI_NOT_IMPLEMENTED;
}

int __stdcall GetFileW(LPCWSTR, LONG_PTR, LPWSTR, unsigned int, SpiProgress, LONG_PTR) {
    return SPI_NOT_IMPLEMENTED;
}

}  // extern "C"
