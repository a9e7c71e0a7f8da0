#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ManifestFile {
    std::wstring path;
    std::wstring url;
    std::wstring sha256;
    uint64_t size = 0;  // 0: no size given, only the digest is checked
};

struct UpdateManifest {
    std::wstring version;
    bool mandatory = false;
    std::vector<ManifestFile> files;
    std::vector<std::wstring> deletedFiles;
};

// Raw bytes between the quotes of the first string after the first quoted key; empty when there is none.
std::string FindStringValue(std::string_view text, std::string_view key);
// First digit run after the first quoted key (0 when there is none); false when the run does not fit 64 bits.
bool FindUnsignedValue(std::string_view text, std::string_view key, uint64_t& value);
// The decimal digits as a number; false when there are none, another byte, or too many for 64 bits.
bool ParseDecimal(std::string_view digits, uint64_t& value);
// Scans a manifest by the launcher's byte-search rules into a fresh record; false rejects it.
bool ParseManifest(std::string_view text, UpdateManifest& manifest);
