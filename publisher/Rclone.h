#pragma once
// The rclone program, which reaches every storage backend for us: we never speak a storage protocol.
#include <cstdint>
#include <string>
#include <vector>

// rclone's exit status for a folder or a file that is not there.
constexpr int kRcloneNotFound = 3;

struct RcloneCall {
    std::vector<std::string> args;    // after "rclone": the command and its arguments
    std::string configFile;           // rclone's --config; empty: wherever rclone looks itself
    const char* progress = nullptr;   // shows rclone's transfer statistics as our progress line, so named
    uint64_t progressTotal = 0;
    bool finishOnInterrupt = false;   // Ctrl-C waits for this call to end (a manifest being replaced)

    int status = -1;                  // rclone's exit status
    std::string output;               // its standard output
    std::string reason;               // on failure, rclone's reason in one line
};

// Runs rclone with the arguments and waits for it; false (with call.reason) unless it exited 0.
bool RunRclone(RcloneCall& call);
// Called by the Ctrl-C handler: stops the rclone that runs, unless it is one that must finish; true
// when the process may end now.
bool StopRcloneForInterrupt();
