#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr uint64_t kWholeBody = UINT64_MAX;

// One GET as the launcher sends it (its user agent and headers, a new connection), and what came back.
struct HttpProbe {
    std::string path;                // below the host: "/updates/..."
    bool ranged = false;             // sends "Range: bytes=<rangeFrom>-"
    uint64_t rangeFrom = 0;
    bool offerEncoding = false;      // adds "Accept-Encoding: gzip, br", as a proxy near a player may
    bool keepBody = false;           // keeps the body (manifests); otherwise it is only digested
    uint64_t stopAfter = kWholeBody; // reads no more body bytes than this
    uint64_t spanFrom = 0;           // also digests the body's bytes [spanFrom, spanFrom + spanBytes)
    uint64_t spanBytes = 0;
    uint64_t expectBytes = 0;        // for the progress line

    long status = 0;
    std::map<std::string, std::string> headers;  // names in lower case; repeated fields joined by ", "
    std::string body, sha256, spanSha256;
    uint64_t received = 0;
    std::string error;               // why the answer broke off; empty when it was read to its end or stopAfter
};

// Runs every probe against base ("https://host[:port]"), `parallel` at a time, trusting the authorities
// in caFile (the system's when empty), with a progress line; false naming the cause when libcurl fails.
bool RunProbes(const std::string& base, const std::string& caFile, std::vector<HttpProbe>& probes, size_t parallel,
               std::string& error);
