#include "publisher/Estimate.h"

#include <cstdio>
#include <cstdlib>

#include "publisher/ProgressLine.h"

namespace {

// Round trips before each request's first byte, counted by bench/network.sh from its link emulator's log:
// TCP's handshake, two for TLS 1.2 (what WinHTTP negotiated there, and what Windows 10 offers) and the GET.
// The launcher opens a new connection for every request, so every file pays them all.
constexpr double kRoundTripsPerRequest = 4;
constexpr double kMostMbits = 1e6;
constexpr double kLongestRoundTripMs = 10000;

std::string Number(const char* format, double value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Duration(double seconds) {
    return seconds < 99.5 ? Number("%.1f s", seconds) : seconds < 5970 ? Number("%.0f min", seconds / 60)
                                                                        : Number("%.1f h", seconds / 3600);
}

}  // namespace

bool ParseNumber(const std::string& text, double most, double& value) {
    char* end = nullptr;
    value = text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ? -1
                                                                                       : std::strtod(text.c_str(), &end);
    return end && *end == '\0' && value >= 0 && value <= most;
}

bool ParsePlayerLink(const std::string& text, PlayerLink& link) {
    size_t comma = text.find(',');
    PlayerLink parsed;
    if (comma == std::string::npos || !ParseNumber(text.substr(0, comma), kMostMbits, parsed.mbits) ||
        parsed.mbits <= 0 || !ParseNumber(text.substr(comma + 1), kLongestRoundTripMs, parsed.roundTripMs)) {
        return false;
    }
    link = parsed;
    return true;
}


std::string UpdateEstimate(size_t files, uint64_t bytes, const PlayerLink& playerLink) {
    double transfer = static_cast<double>(bytes) * 8 / (playerLink.mbits * 1e6);
    double perRequest = kRoundTripsPerRequest * playerLink.roundTripMs / 1000;
    double perFile = perRequest * static_cast<double>(files), total = transfer + perFile + perRequest;
    std::string text = "; about " + Duration(total) + " at " + Number("%g", playerLink.mbits) + " Mbit/s and " +
                       Number("%g", playerLink.roundTripMs) + " ms: " + Duration(transfer) + " transfer, " +
                       Duration(perFile + perRequest) + " round trips (" + Number("%g", kRoundTripsPerRequest) +
                       " for each of " + Count(files + 1, "request") + ")";
    if (perFile > total / 2) {
        text += "\n    most of it waits on round trips, a new connection for every file: pack small files into "
                "fewer, larger ones";
    }
    return text;
}
