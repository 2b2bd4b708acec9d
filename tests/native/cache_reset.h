// The plug-in's cache lives as long as the process here (no unload): each
// test starts with it empty (cache_reset.cpp), and a test that counts blocks
// empties it before counting what a call left behind.
#ifndef KESTA_TESTS_NATIVE_CACHE_RESET_H
#define KESTA_TESTS_NATIVE_CACHE_RESET_H

#include "cache/cache.h"

inline long BlocksOutsideTheCache() {
    EmptyCache();
    return stub::LiveBlocks();
}

#endif  // KESTA_TESTS_NATIVE_CACHE_RESET_H
