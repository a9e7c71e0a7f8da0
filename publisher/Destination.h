#pragma once
// What push does on the destination, each step one rclone call; every failure is named as
// "push to DEST stopped while STEP: rclone's reason" (push says what players are offered then).
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "publisher/Push.h"

using Sizes = std::map<std::string, uint64_t>;  // stored file's digest -> size

// The destination's path of a file below it ("updates/...").
std::string Below(const PushOptions& options, const std::string& path);
// The stored files updates/blobs/ there holds, by name; none when the folder is not there.
bool ListStored(const PushOptions& options, Sizes& listed, std::string& error);
// The manifest's bytes there; empty when it is not there (no manifest is empty).
bool ReadRemote(const PushOptions& options, const char* name, std::string& text, std::string& error);
// Sends the stored files of those names, with the site's headers for them, showing progress.
bool SendStored(const std::filesystem::path& root, const PushOptions& options, const std::vector<std::string>& names,
                uint64_t bytes, std::string& error);
// Puts the manifest in place there in one step, with the site's headers for it.
bool SendManifest(const std::filesystem::path& root, const PushOptions& options, const char* name, std::string& error);
// Deletes the stored files of those names there, and nothing else.
bool RemoveStored(const PushOptions& options, const std::vector<std::string>& names, std::string& error);
