// Console output, Ctrl-C and the progress line of spihost.
#include "host/console.h"

#include <stdio.h>

namespace {

volatile LONG g_cancelRequested = 0;
volatile LONG g_cancellable = 0;
UINT g_interruptedStatus = 1;
UINT g_savedOutputCodePage = 0;  // 0: spihost did not change it

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    if (g_cancellable && InterlockedExchange(&g_cancelRequested, 1) == 0) return TRUE;
    static const char kNote[] = "\nspihost: interrupted\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), kNote, sizeof kNote - 1, &written, NULL);
    RestoreConsole();
    TerminateProcess(GetCurrentProcess(), g_interruptedStatus);
    return TRUE;
}

// The plug-in halves done and total together until both fit an int (members
// past 2 GiB). The first total that is known gives the halvings, checked
// against the listed size; later, a value that falls back means one more
// halving (a body cannot double between two reports).
void TrackProgress(ProgressLine* line, int done, int total) {
    const int kMaxShift = 40;
    if (total > 0 && !line->scaleKnown) {
        line->scaleKnown = true;
        for (int s = 0; s < kMaxShift; s++) {
            if ((line->listedSize >> s) == (uint64_t)total) {
                line->shift = s;
                break;
            }
        }
    } else if (done < line->lastDone || (total > 0 && total < line->lastTotal)) {
        line->shift++;
    }
    line->lastDone = done;
    line->lastTotal = total;
    line->bytes = (uint64_t)(done < 0 ? 0 : done) << line->shift;
    line->percent = total > 0 ? (int)((int64_t)done * 100 / total) : -1;
}

std::string ByteText(double bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        unit++;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

// The first `count` characters of UTF-8 text, and how many it has in all.
size_t Characters(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

std::string FirstCharacters(const std::string& text, size_t count) {
    size_t seen = 0;
    for (size_t i = 0; i < text.size(); i++) {
        if (((unsigned char)text[i] & 0xC0) != 0x80 && seen++ == count) return text.substr(0, i);
    }
    return text;
}

// Redraws the line: "\r", the text, blanks over the rest of the previous one.
void DrawProgress(ProgressLine* line, const char* ending) {
    double seconds = (double)(GetTickCount64() - line->startTick) / 1000.0;
    std::string stats = "  " + ByteText((double)line->bytes);
    if (seconds >= 0.2) stats += "  " + ByteText((double)line->bytes / seconds) + "/s";
    if (line->percent >= 0) stats += "  " + std::to_string(line->percent) + "%";
    stats += ending;
    // Short of the console's width, so that "\r" returns to the line's start.
    CONSOLE_SCREEN_BUFFER_INFO screen;
    size_t width = 80;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &screen)) {
        width = (size_t)(screen.srWindow.Right - screen.srWindow.Left + 1);
    }
    size_t room = width > stats.size() + 2 ? width - stats.size() - 2 : 1;
    std::string name = line->name;
    if (Characters(name) > room) name = FirstCharacters(name, room - 1) + "~";
    size_t drawn = Characters(name) + stats.size();
    std::string text = name + stats;
    if (drawn < line->drawnWidth) text += std::string(line->drawnWidth - drawn, ' ');
    line->drawnWidth = drawn;
    fprintf(stderr, "\r%s", text.c_str());
    fflush(stderr);
}

}  // namespace

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

void SetUpConsole(UINT interruptedStatus) {
    g_interruptedStatus = interruptedStatus;
    if (IsConsole(STD_OUTPUT_HANDLE) || IsConsole(STD_ERROR_HANDLE)) {
        g_savedOutputCodePage = GetConsoleOutputCP();
        SetConsoleOutputCP(CP_UTF8);
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void RestoreConsole() {
    if (g_savedOutputCodePage != 0) SetConsoleOutputCP(g_savedOutputCodePage);
}

void SetCancellable(bool cancellable) { InterlockedExchange(&g_cancellable, cancellable ? 1 : 0); }

bool CancelRequested() { return g_cancelRequested != 0; }

int __stdcall OnProgress(int done, int total, LONG_PTR datum) {
    ProgressLine* line = reinterpret_cast<ProgressLine*>(datum);
    if (line->shown) {
        TrackProgress(line, done, total);
        DrawProgress(line, "");
    }
    return CancelRequested() ? 1 : 0;
}

void EndProgress(ProgressLine* line, const char* ending) {
    if (!line->shown) return;
    DrawProgress(line, ending);
    fputs("\n", stderr);
}
