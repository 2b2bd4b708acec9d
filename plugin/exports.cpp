// The exported entry points, ANSI and Unicode. Each only forwards to the
// operation that serves it; the .def file gives their plain names and ordinals.
#include "cache/cache.h"
#include "plugin/plugin.h"

extern "C" {

int __stdcall GetPluginInfo(int infono, LPSTR buf, int buflen) {
    return CopyPluginInfo(infono, buf, buflen);
}

int __stdcall IsSupported(LPCSTR filename, DWORD_PTR) { return IsUrlListName(filename); }

int __stdcall GetArchiveInfo(LPCSTR source, LONG_PTR len, unsigned int flag, HLOCAL* listing) {
    return ListArchive(AnsiText(source), len, flag, kAnsiRecords, listing);
}

int __stdcall GetFileInfo(LPCSTR source, LONG_PTR len, LPCSTR filename, unsigned int flag,
                          fileInfo* info) {
    return DescribeMember(AnsiText(source), len, filename, flag, kAnsiRecords, info);
}

int __stdcall GetFile(LPCSTR source, LONG_PTR len, LPSTR dest, unsigned int flag,
                      SpiProgress progress, LONG_PTR datum) {
    return ExtractMember(AnsiText(source), len, AnsiText(dest), flag, progress, datum);
}

int __stdcall GetPluginInfoW(int infono, LPWSTR buf, int buflen) {
    return CopyPluginInfoW(infono, buf, buflen);
}

int __stdcall IsSupportedW(LPCWSTR filename, void*) { return IsUrlListNameW(filename); }

int __stdcall GetArchiveInfoW(LPCWSTR source, LONG_PTR len, unsigned int flag, HLOCAL* listing) {
    return ListArchive(WideText(source), len, flag, kWideRecords, listing);
}

int __stdcall GetFileInfoW(LPCWSTR source, LONG_PTR len, LPCWSTR filename, unsigned int flag,
                           fileInfoW* info) {
    return DescribeMember(WideText(source), len, filename, flag, kWideRecords, info);
}

int __stdcall GetFileW(LPCWSTR source, LONG_PTR len, LPWSTR dest, unsigned int flag,
                       SpiProgress progress, LONG_PTR datum) {
    return ExtractMember(WideText(source), len, WideText(dest), flag, progress, datum);
}

}  // extern "C"

#ifdef _WIN32
// The cache lives while the plug-in is loaded: FreeLibrary frees it and
// closes, so deletes, its temporary files. When the process ends instead
// (`reserved` set), its other threads were stopped wherever they were,
// perhaps inside the cache; the system takes the memory back and deletes
// the files as it closes their handles.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == NULL) EmptyCache();
    return TRUE;
}
#endif
