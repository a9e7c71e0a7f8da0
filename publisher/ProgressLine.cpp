#include "publisher/ProgressLine.h"

#include <unistd.h>

#include <cstdio>

namespace {

constexpr double kTerminalEverySeconds = 0.25;
constexpr double kLogEverySeconds = 5;

double SecondsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

ProgressLine StartProgress() {
    ProgressLine line;
    line.terminal = ::isatty(STDERR_FILENO) == 1;
    line.everySeconds = line.terminal ? kTerminalEverySeconds : kLogEverySeconds;
    line.start = line.lastShown = std::chrono::steady_clock::now();
    return line;
}

void ShowProgress(ProgressLine& line, const char* what, uint64_t done, uint64_t total) {
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (SecondsBetween(line.lastShown, now) < line.everySeconds) {
        return;
    }
    line.lastShown = now;
    line.shown = true;
    std::fprintf(stderr, line.terminal ? "\r  %s: %s of %s, %s/s   " : "  %s: %s of %s, %s/s\n", what,
                 Amount(static_cast<double>(done)).c_str(), Amount(static_cast<double>(total)).c_str(),
                 Amount(static_cast<double>(done) / SecondsBetween(line.start, now)).c_str());
}

void EndProgress(const ProgressLine& line) {
    if (line.shown && line.terminal) {
        std::fputc('\n', stderr);
    }
}

std::string Amount(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", bytes, units[unit]);
    return text;
}
