// Running a listing's downloads a few at a time, on Win32 threads.
#ifndef KESTA_PLUGIN_PARALLEL_H
#define KESTA_PLUGIN_PARALLEL_H

// Runs work(context) on `width` threads at once, the calling thread being
// one of them, and returns when every one has returned. The threads share
// `context` and take their jobs from it themselves. Fewer threads than asked
// for (none besides the caller, if the system gives none) only make it
// slower. `work` must not throw.
void RunOnThreads(int width, void (*work)(void* context), void* context);

#endif  // KESTA_PLUGIN_PARALLEL_H
