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

// What a publish wrote into the store: files whose bytes were written there, and their bytes.
struct StoreCount {
    size_t files = 0;
    uint64_t bytes = 0;
};

// A build file as it stood when it was read: while all of these stay the same, so do its bytes (a
// change of the contents sets the time of change, which no program can set back).
struct FileStat {
    std::string sha256;  // empty: unknown
    uint64_t size = 0, inode = 0, device = 0;  // inode 0: never read, the digest only a likely one
    int64_t modifiedNs = 0, changedNs = 0;
};

// Reads every file once, one worker per core, filling in its digest; with storeRoot (a served root,
// whose publish lock the caller holds) set, content not stored in its updates/blobs yet is stored (a
// file that fits in memory is digested before, a larger one while it is written), in batches made
// durable at once before they are renamed into place. known[i] (or none when known is empty) is what
// files[i] was: a file that still stands as it did is not read again, one with a likely digest only
// read, unless it has changed; known[i] is then what was read. seen[i] (when given) is what the walk
// found files[i] to be, taken for what it is before it is read.
// With problems given, a file that fails is listed there with an empty digest and the rest go on.
bool HashBuild(const std::filesystem::path& buildFolder, std::vector<BuildFile>& files,
               const std::filesystem::path& storeRoot, std::vector<FileStat>& known, std::string& error,
               std::vector<std::string>* problems = nullptr, StoreCount* stored = nullptr,
               const std::vector<FileStat>* seen = nullptr);
// Whether the store holds a file of that digest and size.
bool BlobStored(const std::filesystem::path& servedRoot, const BuildFile& file);
// Writes every byte, through short writes and interruptions.
bool WriteAll(int fd, const char* data, size_t size);
// Writes to a temporary name, flushes it to disk, renames it over the target and flushes the folder;
// everyoneReads: mode 0644, whatever the umask (what the web server serves).
bool WriteWhole(const std::filesystem::path& target, const std::string& bytes, std::string& error,
                bool everyoneReads = false);
// Creates the folder and those above it that are missing, each mode 0755 whatever the umask.
bool CreateServedFolders(const std::filesystem::path& folder, std::string& error);
// Flushes a folder's entries (renames, removals) to disk.
bool SyncFolder(const std::filesystem::path& folder, std::string& error);
// Flushes a file's bytes to disk.
bool SyncFile(const std::filesystem::path& file, std::string& error);
// Flushes everything written to the file system the folder is on, at once.
bool SyncFileSystem(const std::filesystem::path& folder, std::string& error);
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

