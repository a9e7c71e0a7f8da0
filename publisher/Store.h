#pragma once
// The served tree on disk: stored files, whole-file writes and the publish lock.
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "publisher/Publisher.h"

// The web server's workers are not the publisher's user: the served tree is readable by everyone,
// whatever the umask (the history and the lock keep it).
constexpr mode_t kServedFileMode = 0644;
constexpr mode_t kServedFolderMode = 0755;

// Reads every file once, one worker per core, filling in its digest; with blobFolder set, content not
// stored there yet is stored in the same pass. expected[i] is the digest the file had before (empty when
// unknown). With problems given, a file that fails is listed there with an empty digest and the rest go on.
bool HashBuild(const std::filesystem::path& buildFolder, std::vector<BuildFile>& files,
               const std::filesystem::path& blobFolder, const std::vector<std::string>& expected, std::string& error,
               std::vector<std::string>* problems = nullptr);
// Writes to a temporary name, flushes it to disk, renames it over the target and flushes the folder;
// everyoneReads: mode 0644, whatever the umask (what the web server serves).
bool WriteWhole(const std::filesystem::path& target, const std::string& bytes, std::string& error,
                bool everyoneReads = false);
// Creates the folder and those above it that are missing, each mode 0755 whatever the umask.
bool CreateServedFolders(const std::filesystem::path& folder, std::string& error);
// Flushes a folder's entries (renames, removals) to disk.
bool SyncFolder(const std::filesystem::path& folder, std::string& error);
// Takes ROOT/publish.lock exclusively, waiting up to `seconds`; lockFd stays open until UnlockServed.
bool LockServed(const std::filesystem::path& servedRoot, double seconds, int& lockFd, std::string& error);
// Releases what LockServed took (a negative descriptor is nothing to release).
bool UnlockServed(int lockFd);
// Lower-case hex of the bytes, as digests are written.
std::string HexText(const unsigned char* bytes, unsigned int length);
// The whole file into text; false when it cannot be read.
bool ReadWhole(const std::filesystem::path& file, std::string& text);
// The request path the launcher fetches a file's bytes from.
std::string BlobUrl(const std::string& sha256);
// Where that file is stored under the served root.
std::filesystem::path BlobPath(const std::filesystem::path& servedRoot, const std::string& sha256);

