#pragma once
#include <chrono>
#include <cstdint>
#include <string>

// Progress on standard error as every command shows it: one line that keeps changing on a terminal,
// a line every few seconds in a log, never one per file.
struct ProgressLine {
    bool terminal = false;
    double everySeconds = 0;
    std::chrono::steady_clock::time_point start, lastShown;
    bool shown = false;
};

// Starts the clock; nothing is shown yet.
ProgressLine StartProgress();
// Shows "  WHAT: DONE of TOTAL, RATE/s" when its time has come.
void ShowProgress(ProgressLine& line, const char* what, uint64_t done, uint64_t total);
// Ends the changing line on a terminal.
void EndProgress(const ProgressLine& line);
// A number of bytes as people read it: "512 B", "1.5 MiB".
std::string Amount(double bytes);
