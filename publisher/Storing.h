#pragma once
// Between reading a build and storing it: what the workers share while storing, and one read of a file.
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "publisher/Store.h"

// Written unnamed or under a temporary name: linked or renamed to its digest once the batch is on disk.
struct PendingFile {
    std::string temporary;
    BuildFile stored;  // path: the digest's name in the store
    int fd = -1;       // an unnamed file's, open until it is linked in
};

// The store a publish writes to: every name below is relative to its folders.
struct StoreState {
    int store = -1;      // updates/blobs
    int incoming = -1;   // where new files are made: not served, not pushed, and listed without the store
    std::string prefix;  // of temporary names: ".incoming-<process>-"
    bool chmod = false;  // the umask takes bits of the served mode away: each file's mode set after it is made
    bool wasEmpty = false;  // the store held nothing when opened: what it holds is `storing`
    bool unnamed = false;   // new files are made without a name and linked in (nothing left if cut off)
    bool linkByPath = false;  // linked through /proc/self/fd, without the capability linking a descriptor needs
    size_t batchFiles = 0;  // at most, each holding a descriptor when unnamed
    std::mutex mutex;
    std::unordered_set<std::string> storing;
    std::vector<PendingFile> batch;
    uint64_t batchBytes = 0;
    StoreCount written;
};

// Opens ROOT's store and its folder of new files, emptied of what a publish cut off left there (the
// caller holds the lock).
bool OpenStore(const std::filesystem::path& servedRoot, StoreState& state, std::string& error);
// Closes what OpenStore opened.
void CloseStore(StoreState* state);
// Whether the store holds a file of that digest and size.
bool BlobPresent(const StoreState& state, const BuildFile& file);
// BlobPresent, or for a store that was empty whether this run stores it (and with claim, from now on it does).
bool Stored(StoreState& state, const BuildFile& file, bool claim = false);
// Stores one file whose digest is not known (`seen`: what the walk found it to be, when it did); the
// file's digest and `read` are filled in. Small files wait in the batch for one flush of many.
bool StoreOnce(const std::filesystem::path& source, size_t index, BuildFile& file, const FileStat* seen,
               std::vector<char>& buffer, std::string& content, FileStat& read, StoreState& state,
               std::atomic<uint64_t>& done, std::string& error);
// What is left of the last batch made durable and put in place (or, after a failure, removed); then the
// store's folder flushed.
bool FinishStore(StoreState& state, bool failed, std::string& error);
// One pass over the source: digested, and copied to `copyFd` when it is open or into `content` when
// given; `read` is what it was. What it was before (`seen`, else asked first) and after tell whether
// the build changed under us.
bool ReadOnce(const std::filesystem::path& source, const BuildFile& file, const FileStat* seen, int copyFd,
              std::string* content, std::vector<char>& buffer, std::string& digest, FileStat& read,
              std::atomic<uint64_t>& done, std::string& error);
