#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// One file of a game build as the launcher will install it.
struct BuildFile {
    std::string path;  // relative, '/' between folders, UTF-8
    std::string sha256;
    uint64_t size = 0;
};

// The key Windows compares names by: letter case folded, '\' and '/' alike.
std::string WindowsNameKey(const std::string& path);
// Empty when the launcher accepts the path and the manifest scanner carries it intact; else the reason.
std::string PathProblem(const std::string& path);
std::string VersionProblem(const std::string& version);
// The build's regular files with their digests, sorted by path; false with a message naming the file.
bool CollectBuild(const std::filesystem::path& buildFolder, std::vector<BuildFile>& files, std::string& error);
// SHA-256 of a file as lower-case hex, printing progress for large files; empty when unreadable.
std::string Sha256Hex(const std::filesystem::path& file);
// The manifest text, laid out so that every first-occurrence search of the launcher finds its key.
std::string ManifestText(const std::string& version, bool mandatory, const std::vector<BuildFile>& files,
                         const std::vector<std::string>& deletedFiles);
// Scans the text with the launcher's own scanner; empty when it reads back exactly as meant.
std::string ReadBackProblem(const std::string& text, const std::string& version, bool mandatory,
                            const std::vector<BuildFile>& files, const std::vector<std::string>& deletedFiles);
// The request path the launcher fetches a file's bytes from.
std::string BlobUrl(const std::string& sha256);

bool Publish(const std::filesystem::path& buildFolder, const std::filesystem::path& servedRoot,
             const std::string& version, bool mandatory, std::string& error);
// Every manifest reads back as recorded and every url holds the right bytes; problems are appended.
bool Verify(const std::filesystem::path& servedRoot, std::vector<std::string>& problems);
// Removes stored files that neither the manifests nor the last `keep` versions refer to.
bool Prune(const std::filesystem::path& servedRoot, size_t keep, std::vector<std::string>& removed,
           std::string& error);
