// Owners for the Win32 resources the plug-in takes: a local or global memory
// block and a socket, each given back when its owner goes out of scope
// unless the owner hands it on with Release(). They make every early return
// a complete clean-up.
#ifndef KESTA_COMPAT_HANDLES_H
#define KESTA_COMPAT_HANDLES_H

#include "compat/win32.h"

template <typename Handle, Handle (*Free)(Handle)>
class OwnedBlock {
public:
    explicit OwnedBlock(Handle h = NULL) : h_(h) {}
    ~OwnedBlock() {
        if (h_) Free(h_);
    }
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;

    Handle get() const { return h_; }
    // Takes `h` on, giving back what was held before.
    void Reset(Handle h) {
        if (h_) Free(h_);
        h_ = h;
    }
    Handle Release() {
        Handle h = h_;
        h_ = NULL;
        return h;
    }

private:
    Handle h_;
};

inline HLOCAL FreeLocal(HLOCAL h) { return LocalFree(h); }
inline HGLOBAL FreeGlobal(HGLOBAL h) { return GlobalFree(h); }
typedef OwnedBlock<HLOCAL, FreeLocal> LocalBlock;
typedef OwnedBlock<HGLOBAL, FreeGlobal> GlobalBlock;

class OwnedSocket {
public:
    explicit OwnedSocket(SOCKET s) : s_(s) {}
    ~OwnedSocket() {
        if (s_ != INVALID_SOCKET) closesocket(s_);
    }
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;

    SOCKET get() const { return s_; }

private:
    SOCKET s_;
};

#endif  // KESTA_COMPAT_HANDLES_H
