#include "publisher/ProgressLine.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "publisher/Rclone.h"

namespace {

constexpr double kTerminalEverySeconds = 0.25;
constexpr double kLogEverySeconds = 5;
constexpr int kInterruptedStatus = 130;

volatile sig_atomic_t gLineOpen = 0;  // a terminal line without its line end yet

double SecondsBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

void Print(ProgressLine& line, std::chrono::steady_clock::time_point now) {
    line.lastShown = now;
    line.shown = true;
    double seconds = SecondsBetween(line.start, now);
    std::fprintf(stderr, line.terminal ? "\r  %s: %s of %s, %s/s   " : "  %s: %s of %s, %s/s\n", line.what,
                 Amount(static_cast<double>(line.done)).c_str(), Amount(static_cast<double>(line.total)).c_str(),
                 Amount(seconds > 0 ? static_cast<double>(line.done) / seconds : 0).c_str());
    std::fflush(stderr);
    gLineOpen = line.terminal;
}

// Only calls that are safe in a signal handler: write and _exit.
void OnInterrupt(int) {
    if (!StopRcloneForInterrupt()) {
        return;  // raised again once the manifest is in place
    }
    static const char kLine[] = "\ninterrupted: run the same command again to complete it\n";
    ssize_t ignored = ::write(STDERR_FILENO, kLine + (gLineOpen ? 0 : 1), sizeof kLine - (gLineOpen ? 1 : 2));
    (void)ignored;
    ::_exit(kInterruptedStatus);
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
    line.what = what;
    line.done = done;
    line.total = total;
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (SecondsBetween(line.lastShown, now) >= line.everySeconds) {
        Print(line, now);
    }
}

void EndProgress(ProgressLine& line, bool finished) {
    if (!line.shown) {
        return;
    }
    line.done = finished ? line.total : line.done;
    Print(line, std::chrono::steady_clock::now());
    if (line.terminal) {
        std::fputc('\n', stderr);
        gLineOpen = 0;
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

std::string Count(uint64_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string NamesText(const std::vector<std::string>& names, size_t most) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < most; ++i) {
        text += (i ? ", " : "") + names[i];
    }
    return names.size() > most ? text + " and " + std::to_string(names.size() - most) + " more" : text;
}

void InstallInterruptLine() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}
