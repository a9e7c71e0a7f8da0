#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "publisher/Estimate.h"

// The launcher's own program file, from cmake/LauncherName.cmake.
constexpr const char kLauncherExe[] = ORVANE_LAUNCHER_EXE;
// The launcher downloads into "<install folder>\<path>.download"; Windows stops at 260 UTF-16 units.
constexpr size_t kPathWarnUnits = 180;
constexpr size_t kPathLimitUnits = 245;
constexpr double kDefaultLockSeconds = 600;

struct FileStat;

// One file of a game build as the launcher will install it.
struct BuildFile {
    std::string path;  // relative, '/' between folders, UTF-8
    std::string sha256;
    uint64_t size = 0;
    std::string key{};  // the path as Windows compares it, where the walk worked it out; empty: not known
};

// One published version as the history records it.
struct PublishedVersion {
    std::string version;
    bool mandatory = false;
    std::string publishedAt;  // UTC, ISO 8601; empty in records written before it was kept
    std::vector<BuildFile> files;
    uint64_t serial = 0;  // raised by every signed publish and rollback; 0: not signed
    std::string key{};    // the public line of the key that signed it; empty: not signed
    std::string rollbackOf{};  // the label a rollback served again; empty for a publish (and migrated records)
    uint64_t fileCount = 0;    // of files, also where they were not read
    uint64_t bytes = 0;
};

struct PublishOptions {
    std::string version;
    bool mandatory = false;
    bool dryRun = false;
    bool allowEmpty = false;
    std::string signingKey{};  // the private key's file; empty: manifests are not signed
    bool switchKey = false;    // a key other than the last signed version's is meant (players have both)
    bool clockBehindOk = false;  // this clock is right although the history records a later publish
    PlayerLink playerLink{};   // the line the plan estimates update times for
    double lockSeconds = kDefaultLockSeconds;
};

// The key Windows compares names by: letter case folded, '\' and '/' alike.
std::string WindowsNameKey(const std::string& path);
// The file's key as the walk found it, else worked out into `scratch`.
const std::string& KeyOf(const BuildFile& file, std::string& scratch);
// Empty when the launcher accepts the path and the manifest scanner carries it intact; else the reason.
std::string PathProblem(const std::string& path);
// PathProblem, and never the launcher's own program, which no update can replace or delete.
std::string PublishedPathProblem(const std::string& path);
// Empty when the label can stand in the manifest and the launcher's version file; else the reason.
std::string VersionProblem(const std::string& version);
// The build's regular files with their sizes (no digests yet), sorted by path, and in `seen` (when
// given) what each was when the walk looked at it; false with a message naming the file.
bool CollectBuild(const std::filesystem::path& buildFolder, std::vector<BuildFile>& files,
                  std::vector<std::string>& warnings, std::string& error, std::vector<FileStat>* seen = nullptr);
// The manifest text, laid out so that every first-occurrence search of the launcher finds its key.
std::string ManifestText(const std::string& version, bool mandatory, const std::vector<BuildFile>& files,
                         const std::vector<std::string>& deletedFiles);
// Scans the text with the launcher's own scanner; empty when it reads back exactly as meant and is no
// longer than the launcher reads (kMaxManifestBytes).
std::string ReadBackProblem(const std::string& text, const std::string& version, bool mandatory,
                            const std::vector<BuildFile>& files, const std::vector<std::string>& deletedFiles);
// Checks, stores and serves a build as a new version (or prints its plan with dryRun); false with a message.
bool Publish(const std::filesystem::path& buildFolder, const std::filesystem::path& servedRoot,
             const PublishOptions& options, std::string& error);
// Serves the files of the earlier version `from` again under a new label.
bool Rollback(const std::filesystem::path& servedRoot, const std::string& from, const PublishOptions& options,
              std::string& error);
// Every manifest reads back as recorded (with the serial recorded, and signed by the key in
// publicKeyFile when one is given) and every url holds the right bytes; problems are appended.
bool Verify(const std::filesystem::path& servedRoot, std::vector<std::string>& problems,
            const std::string& publicKeyFile = "");
// Verify for a copy without a history (what an origin holds): the manifests, and every stored file
// they name by size and SHA-256; says that it had no history.
bool VerifyWithoutHistory(const std::filesystem::path& servedRoot, std::vector<std::string>& problems,
                          const std::string& publicKeyFile);
// Removes stored files that neither the manifests nor the last `keep` versions refer to.
bool Prune(const std::filesystem::path& servedRoot, size_t keep, double lockSeconds,
           std::vector<std::string>& removed, std::string& error);
