// The terminal side of spihost: UTF-8 text on a console, Ctrl-C, and the
// progress line of a download.
#ifndef KESTA_HOST_CONSOLE_H
#define KESTA_HOST_CONSOLE_H

#include <string>

#include "compat/win32.h"

// True when the standard handle (STD_OUTPUT_HANDLE, STD_ERROR_HANDLE) is a console.
bool IsConsole(DWORD which);

// Makes a console show UTF-8 output as text (RestoreConsole puts its code
// page back) and takes over Ctrl-C: while an extraction is cancellable the
// first press only asks it to stop; otherwise, or pressed again, it ends the
// process at once with `interruptedStatus`. (Wine's own default ends a
// console program with status 0.)
void SetUpConsole(UINT interruptedStatus);
void RestoreConsole();

// Whether Ctrl-C now cancels (true) or ends the process (false).
void SetCancellable(bool cancellable);

// True once Ctrl-C asked the extraction to stop.
bool CancelRequested();

// One member's progress line on a terminal: bytes so far, the rate and, when
// the total is known, the percentage, redrawn in place on stderr.
struct ProgressLine {
    bool shown = false;       // stderr is a console
    std::string name;         // UTF-8
    uint64_t listedSize = 0;  // the member's size in the listing
    ULONGLONG startTick = 0;
    int lastDone = 0;
    int lastTotal = 0;
    int shift = 0;            // the halvings the plug-in applied, recovered
    bool scaleKnown = false;
    uint64_t bytes = 0;
    int percent = -1;         // -1: the total is unknown
    size_t drawnWidth = 0;
};

// The plug-in's progress callback; the datum is a ProgressLine*. Draws the
// line when it is shown; asks the plug-in to stop once Ctrl-C was pressed.
int __stdcall OnProgress(int done, int total, LONG_PTR datum);

// Draws the line a last time with `ending` after it ("" or "  cancelled")
// and ends it; nothing when it is not shown.
void EndProgress(ProgressLine* line, const char* ending);

#endif  // KESTA_HOST_CONSOLE_H
