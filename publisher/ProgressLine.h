#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Progress on standard error as every command shows it: one line that keeps changing on a terminal,
// a line every few seconds in a log, never one per file; it ends on where the work ended.
struct ProgressLine {
    bool terminal = false;
    double everySeconds = 0;
    std::chrono::steady_clock::time_point start, lastShown;
    bool shown = false;
    const char* what = "";
    uint64_t done = 0, total = 0;
};

// Starts the clock; nothing is shown yet.
ProgressLine StartProgress();
// Shows "  WHAT: DONE of TOTAL, RATE/s" when its time has come.
void ShowProgress(ProgressLine& line, const char* what, uint64_t done, uint64_t total);
// When anything was shown, shows the end (the total when finished) and ends the line.
void EndProgress(ProgressLine& line, bool finished);
// A number of bytes as people read it: "512 B", "1.5 MiB".
std::string Amount(double bytes);
// "1 file", "2 files": the count and the noun, plural unless it is one.
std::string Count(uint64_t count, const char* noun);
// "a, b, c and 4 more": the first `most` names, then how many are left.
std::string NamesText(const std::vector<std::string>& names, size_t most);
// Ctrl-C and SIGTERM end the command with one line on a line of its own; every command is safe to
// stop anywhere and completes when run again.
void InstallInterruptLine();
