// The five exported entry points. Each only forwards to the operation that
// serves it; kesta.def gives their plain names and ordinals.
#include "plugin/plugin.h"

extern "C" {

int __stdcall GetPluginInfo(int infono, LPSTR buf, int buflen) {
    return CopyPluginInfo(infono, buf, buflen);
}

int __stdcall IsSupported(LPCSTR filename, DWORD_PTR) { return IsUrlListName(filename); }

int __stdcall GetArchiveInfo(LPCSTR source, long len, unsigned int flag, HLOCAL* listing) {
    return ListArchive(source, len, flag, listing);
}

int __stdcall GetFileInfo(LPCSTR source, long len, LPCSTR filename, unsigned int flag,
                          fileInfo* info) {
    return DescribeMember(source, len, filename, flag, info);
}

int __stdcall GetFile(LPCSTR source, long len, LPSTR dest, unsigned int flag, SpiProgress, long) {
    return ExtractMember(source, len, dest, flag);
}

}  // extern "C"
