// Running a listing's downloads a few at a time.
#ifndef KESTA_PLUGIN_PARALLEL_H
#define KESTA_PLUGIN_PARALLEL_H

#include <stdint.h>

// Runs job(context, i) for every i in [0, count), at most `width` at a time,
// each started after every lower i has been started. The calling thread
// takes part and the call returns when every job has finished. Fewer threads
// than asked for (none at all, if the system gives none) only make it slower.
void RunInOrder(int64_t count, int width, void (*job)(void* context, int64_t i), void* context);

#endif  // KESTA_PLUGIN_PARALLEL_H
