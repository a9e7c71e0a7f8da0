#pragma once
#include <cstddef>
#include <string>
#include <vector>

constexpr size_t kDefaultCheckSample = 16;

struct CheckOptions {
    std::string url;     // "https://HOST" or "https://HOST:PORT", as players reach the update host
    std::string served;  // the local served folder to compare with; empty for none
    std::string caFile;  // authorities to trust instead of the system's; empty for the system's
    bool all = false;    // every stored file, not a sample
    size_t sample = kDefaultCheckSample;
    double waitSeconds = 0;  // how long to ask again until the host serves the local manifests
    std::string publicKey;   // FILE.pub whose signature the manifests must carry; empty: not checked
};

// Empty when the url names an update host the way the launcher reaches it; else the reason.
std::string CheckUrlProblem(const std::string& url);
// Asks the host what players' launchers ask and appends a line for each way its answers would fail
// them, naming the path; true when there is none.
bool CheckHost(const CheckOptions& options, std::vector<std::string>& problems);
