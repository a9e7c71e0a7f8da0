#pragma once
// The walk over a build folder, on every core: each entry looked at once, relative to its folder.
#include <filesystem>
#include <string>
#include <vector>

#include "publisher/Store.h"

// A regular file of the build: its path, its name as Windows compares it (and that name's hash), and
// what it was when seen.
struct WalkedFile {
    std::string path, key;
    size_t keyHash = 0;
    FileStat seen;
};

// Every regular file under the build, in runs sorted by path (one a worker); false at a link, anything
// else that is not a regular file or a folder, or a name that cannot be published, with a message naming it.
bool WalkBuild(const std::filesystem::path& buildFolder, std::vector<std::vector<WalkedFile>>& runs, std::string& error);
