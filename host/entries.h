// The entry points a host finds in a loaded plug-in by their plain names:
// one table for spihost and for the tests that load the plug-in as a viewer
// does. An entry the module lacks is NULL.
#ifndef KESTA_HOST_ENTRIES_H
#define KESTA_HOST_ENTRIES_H

#include "plugin/spi.h"

struct PluginEntries {
    GetPluginInfoFn getPluginInfo = NULL;
    IsSupportedFn isSupported = NULL;
    GetArchiveInfoFn getArchiveInfo = NULL;
    GetFileInfoFn getFileInfo = NULL;
    GetFileFn getFile = NULL;
    GetPluginInfoWFn getPluginInfoW = NULL;
    IsSupportedWFn isSupportedW = NULL;
    GetArchiveInfoWFn getArchiveInfoW = NULL;
    GetFileInfoWFn getFileInfoW = NULL;
    GetFileWFn getFileW = NULL;

    bool HasAnsiSet() const {
        return getPluginInfo && isSupported && getArchiveInfo && getFileInfo && getFile;
    }
    bool HasWideSet() const {
        return getPluginInfoW && isSupportedW && getArchiveInfoW && getFileInfoW && getFileW;
    }
};

// GetProcAddress's result as the entry point's own type.
template <typename Fn>
Fn EntryAs(FARPROC p) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
}

inline void FindPluginEntries(HMODULE m, PluginEntries* e) {
    e->getPluginInfo = EntryAs<GetPluginInfoFn>(GetProcAddress(m, "GetPluginInfo"));
    e->isSupported = EntryAs<IsSupportedFn>(GetProcAddress(m, "IsSupported"));
    e->getArchiveInfo = EntryAs<GetArchiveInfoFn>(GetProcAddress(m, "GetArchiveInfo"));
    e->getFileInfo = EntryAs<GetFileInfoFn>(GetProcAddress(m, "GetFileInfo"));
    e->getFile = EntryAs<GetFileFn>(GetProcAddress(m, "GetFile"));
    e->getPluginInfoW = EntryAs<GetPluginInfoWFn>(GetProcAddress(m, "GetPluginInfoW"));
    e->isSupportedW = EntryAs<IsSupportedWFn>(GetProcAddress(m, "IsSupportedW"));
    e->getArchiveInfoW = EntryAs<GetArchiveInfoWFn>(GetProcAddress(m, "GetArchiveInfoW"));
    e->getFileInfoW = EntryAs<GetFileInfoWFn>(GetProcAddress(m, "GetFileInfoW"));
    e->getFileW = EntryAs<GetFileWFn>(GetProcAddress(m, "GetFileW"));
}

#endif  // KESTA_HOST_ENTRIES_H
