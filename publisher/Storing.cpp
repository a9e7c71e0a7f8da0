// Storing new content: each file made under a temporary name in a folder of its own beside updates/,
// small ones in batches made durable with one flush of the file system for thousands of files, and
// only then renamed to their digests in the store.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "publisher/Storing.h"

namespace fs = std::filesystem;

namespace {

constexpr char kIncoming[] = "publish-incoming";
constexpr char kTemporary[] = ".incoming-";
constexpr uint64_t kInMemory = 1 << 20;  // read whole and digested before anything is written
constexpr size_t kBatchFiles = 8192;
constexpr uint64_t kBatchBytes = uint64_t{256} << 20;

std::string ErrnoText() {
    return std::strerror(errno);
}

// Renames a file on disk to its digest; equal bytes stored before (or by another worker) keep their
// file: a url never changes.
bool PutInPlace(const StoreState& state, const std::string& temporary, const BuildFile& stored, std::string& error) {
    const char* name = stored.sha256.c_str();
    bool renamed = ::renameat2(state.incoming, temporary.c_str(), state.store, name, RENAME_NOREPLACE) == 0;
    if (!renamed && errno == EINVAL) {  // a file system that cannot refuse to replace: asked first
        renamed = !BlobPresent(state, stored) && ::renameat(state.incoming, temporary.c_str(), state.store, name) == 0;
    }
    std::string why = renamed ? std::string() : ErrnoText();
    if (!renamed && !BlobPresent(state, stored)) {
        error = stored.path + ": cannot store: " + why;
    }
    if (!renamed) {
        ::unlinkat(state.incoming, temporary.c_str(), 0);
    }
    return error.empty();
}

// Flushes the file system the store is on (every file of the batch at once: one flush instead of one
// each), then puts each file in place.
bool StoreBatch(const StoreState& state, std::vector<PendingFile>& batch, std::string& error) {
    bool ok = ::syncfs(state.store) == 0;
    if (!ok) {
        error = "cannot flush the store to disk: " + ErrnoText();
    }
    for (const PendingFile& f : batch) {
        if (!ok) {
            ::unlinkat(state.incoming, f.temporary.c_str(), 0);
        }
        ok = ok && PutInPlace(state, f.temporary, f.stored, error);
    }
    batch.clear();
    return ok;
}

int OpenFolder(const fs::path& folder, std::string& error) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + folder.string() + ": " + ErrnoText();
    }
    return fd;
}

}  // namespace

bool OpenStore(const fs::path& servedRoot, StoreState& state, std::string& error) {
    fs::path incoming = servedRoot / kIncoming;
    if ((state.store = OpenFolder(servedRoot / "updates" / "blobs", error)) < 0 ||
        !CreateServedFolders(incoming, error) || (state.incoming = OpenFolder(incoming, error)) < 0) {
        return false;
    }
    // A rename cannot leave its file system: on another, files are made in the store itself (and what a
    // publish cut off leaves there is pruned).
    struct stat a {}, b {};
    if (::fstat(state.store, &a) != 0 || ::fstat(state.incoming, &b) != 0 || a.st_dev != b.st_dev) {
        ::close(state.incoming);
        state.incoming = ::dup(state.store);
    }
    // A store that holds nothing yet (a first publish) is asked nothing: what is stored is what this run stores.
    DIR* listed = ::fdopendir(::dup(state.store));
    state.wasEmpty = listed != nullptr;
    for (struct dirent* entry = listed ? ::readdir(listed) : nullptr; entry && state.wasEmpty; entry = ::readdir(listed)) {
        state.wasEmpty = std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0;
    }
    if (listed) {
        ::closedir(listed);
    }
    DIR* left = ::fdopendir(::dup(state.incoming));
    for (struct dirent* entry = left ? ::readdir(left) : nullptr; entry; entry = ::readdir(left)) {
        if (std::strncmp(entry->d_name, kTemporary, sizeof kTemporary - 1) == 0) {
            ::unlinkat(state.incoming, entry->d_name, 0);
        }
    }
    if (left) {
        ::closedir(left);
    }
    state.prefix = kTemporary + std::to_string(::getpid()) + "-";
    mode_t mask = ::umask(0);  // read before any worker makes a file
    ::umask(mask);
    state.chmod = (mask & kServedFileMode) != 0;
    return state.incoming >= 0;
}

void CloseStore(StoreState* state) {
    for (int fd : {state->store, state->incoming}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool BlobPresent(const StoreState& state, const BuildFile& file) {
    struct stat st {};
    return ::fstatat(state.store, file.sha256.c_str(), &st, 0) == 0 && static_cast<uint64_t>(st.st_size) == file.size;
}

bool Stored(StoreState& state, const BuildFile& file, bool claim) {
    if (!state.wasEmpty) {
        return BlobPresent(state, file);
    }
    std::lock_guard<std::mutex> hold(state.mutex);
    return claim ? !state.storing.insert(file.sha256).second : state.storing.count(file.sha256) != 0;
}

// A small file is digested first and written only when its bytes are not stored yet; a large one is
// digested while it is written, its copy dropped unflushed when equal bytes turn out to be stored.
bool StoreOnce(const fs::path& source, size_t index, BuildFile& file, const FileStat* seen, std::vector<char>& buffer,
               std::string& content, FileStat& read, StoreState& state, std::atomic<uint64_t>& done, std::string& error) {
    std::string temporary = state.prefix + std::to_string(index);
    bool small = file.size <= kInMemory;
    content.clear();
    if (small && (!ReadOnce(source, file, seen, -1, &content, buffer, file.sha256, read, done, error) ||
                  Stored(state, file, true))) {
        return error.empty();
    }
    int out = ::openat(state.incoming, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kServedFileMode);
    bool ok = out >= 0 && (!state.chmod || ::fchmod(out, kServedFileMode) == 0) &&
              (!small || WriteAll(out, content.data(), content.size()));
    if (!ok) {
        error = file.path + ": cannot store: " + ErrnoText();
    }
    ok = ok && (small || ReadOnce(source, file, seen, out, nullptr, buffer, file.sha256, read, done, error));
    // A large file is flushed and put in place on its own: its bytes, not the flush, cost the time.
    bool flushed = ok && !small && !Stored(state, file, true);
    if (flushed && ::fsync(out) != 0) {
        error = file.path + ": cannot store: " + ErrnoText();
        ok = false;
    }
    if (out >= 0) {
        ::close(out);
    }
    // Counted when written, kept or not: what a publish costs the disk.
    std::vector<PendingFile> full;
    std::unique_lock<std::mutex> hold(state.mutex);
    state.written.files += ok ? 1 : 0;
    state.written.bytes += ok ? file.size : 0;
    if (!ok || !small) {
        hold.unlock();
        if (ok && flushed) {
            return PutInPlace(state, temporary, file, error);
        }
        ::unlinkat(state.incoming, temporary.c_str(), 0);
        return ok;
    }
    state.batch.push_back(PendingFile{std::move(temporary), BuildFile{file.path, file.sha256, file.size}});
    state.batchBytes += file.size;
    if (state.batch.size() >= kBatchFiles || state.batchBytes >= kBatchBytes) {
        full.swap(state.batch);
        state.batchBytes = 0;
    }
    hold.unlock();  // the others go on while this batch is flushed
    return full.empty() || StoreBatch(state, full, error);
}

bool FinishStore(StoreState& state, bool failed, std::string& error) {
    for (const PendingFile& f : failed ? state.batch : std::vector<PendingFile>()) {
        ::unlinkat(state.incoming, f.temporary.c_str(), 0);
    }
    if (failed || (!state.batch.empty() && !StoreBatch(state, state.batch, error))) {
        return false;
    }
    bool ok = ::fsync(state.store) == 0;
    if (!ok) {
        error = "cannot flush the store's folder to disk: " + ErrnoText();
    }
    return ok;
}
