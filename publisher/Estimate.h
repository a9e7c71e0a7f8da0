#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// A player's line, for the plan's estimate of how long an update keeps them waiting.
struct PlayerLink {
    double mbits = 50;
    double roundTripMs = 60;
};

// Reads "MBITS,MS" (for example "50,60"); false unless both are plain numbers in range, the rate above 0.
bool ParsePlayerLink(const std::string& text, PlayerLink& link);
// A plain decimal number from 0 to most (no sign, no exponent); false otherwise.
bool ParseNumber(const std::string& text, double most, double& value);
// The estimate for a player who fetches the manifest and then `files` files of `bytes` in all, as text
// to follow the plan's line for that version; a second line when round trips make up most of it.
std::string UpdateEstimate(size_t files, uint64_t bytes, const PlayerLink& link);
