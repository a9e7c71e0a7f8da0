#pragma once
// Pushing the served tree to the origin or bucket players reach, through rclone.
#include <filesystem>
#include <set>
#include <string>

#include "publisher/Publisher.h"

struct PushOptions {
    std::string to;            // anything rclone reaches ("remote:bucket/prefix", "remote:/srv/orvane") or a local folder
    bool removeUnkept = false; // --delete: also remove stored files that no kept version names
    bool dryRun = false;
    std::string rcloneConfig;  // rclone's --config; empty: rclone's own
    double lockSeconds = kDefaultLockSeconds;
};

// The digests of every stored file that a version the history keeps, or a manifest, names; false naming why.
bool KeptStoredFiles(const std::filesystem::path& servedRoot, std::set<std::string>& digests, std::string& error);
// Sends the served tree's updates/ to options.to: missing stored files, a listing that confirms them,
// the manifests where their content differs, then (with removeUnkept) unkept stored files. False with
// a message; stopped anywhere, the destination serves the earlier version or the new one, whole.
bool Push(const std::filesystem::path& servedRoot, const PushOptions& options, std::string& error);
