#pragma once
#include <cstdint>
#include <string>
#include <vector>

// What the test update servers saw, one request a line of their logs.
struct ServedRequest {
    std::string path;
    std::string range;  // the Range header as sent, empty when there was none
    int status = 0;     // 0: the fault server never answered
    uint64_t bodyBytes = 0;
};

struct ServedFile {
    std::string path;  // as the manifest names it
    std::string url;
    std::string bytes;
};

// Files served by nginx (https://localhost) and by the fault server (https://127.0.0.2), below /updates/.
void PutNginxFile(const std::string& url, const std::string& bytes);
void PutFaultFile(const std::string& url, const std::string& bytes);
// Rules of the fault server, one a line: "<path> cut N", "norange", "status N" or "hang".
void SetFaultRules(const std::string& rules);
// Empties both request logs (and the fault rules), so a test sees only its own requests.
void ResetServers();
// The requests logged so far; waits briefly for a server to finish writing the expected count.
std::vector<ServedRequest> NginxRequests(size_t expected);
std::vector<ServedRequest> FaultRequests(size_t expected);

// Deterministic bytes that differ for every seed.
std::string TestBytes(size_t size, unsigned seed);
// SHA-256 of the bytes as 64 lower-case hex digits.
std::string DigestOf(const std::string& bytes);
// A manifest as the publisher writes it.
std::string ManifestJson(const std::string& version, bool mandatory, const std::vector<ServedFile>& files,
                         const std::vector<std::string>& deletedFiles);
// The launcher's log in the folder, split into lines (UTF-8).
std::vector<std::string> LogLines(const std::wstring& folder);
