// Storing new content: each file made without a name where the file system allows it (else under a
// temporary name in a folder of its own beside updates/), small ones in batches made durable with one
// flush of the file system for thousands of files, and only then linked or renamed to their digests.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "publisher/Storing.h"

namespace fs = std::filesystem;

namespace {

constexpr char kIncoming[] = "publish-incoming";
constexpr char kTemporary[] = ".incoming-";
constexpr uint64_t kInMemory = 1 << 20;  // read whole and digested before anything is written
constexpr size_t kBatchFiles = 8192;
constexpr uint64_t kBatchBytes = uint64_t{256} << 20;
constexpr size_t kSpareFiles = 256;  // descriptors kept free of a batch's open files

std::string ErrnoText() {
    return std::strerror(errno);
}

// A file for the store: unnamed (nothing to remove if the run is cut off), else at its temporary name.
int MakeFile(const StoreState& state, const std::string& temporary) {
    return state.unnamed ? ::openat(state.store, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kServedFileMode)
                         : ::openat(state.incoming, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kServedFileMode);
}

// Gives an unnamed file a name in `folder`; never replaces one.
bool LinkIn(const StoreState& state, int fd, int folder, const char* name) {
    if (!state.linkByPath) {
        return ::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0;
    }
    std::string path = "/proc/self/fd/" + std::to_string(fd);  // without the capability AT_EMPTY_PATH needs
    return ::linkat(AT_FDCWD, path.c_str(), folder, name, AT_SYMLINK_FOLLOW) == 0;
}

// Drops a file that is not to be stored.
void Drop(const StoreState& state, PendingFile& f) {
    if (f.fd >= 0) {
        ::close(f.fd);
        f.fd = -1;
    }
    if (!state.unnamed) {
        ::unlinkat(state.incoming, f.temporary.c_str(), 0);
    }
}

// Names a file on disk by its digest; equal bytes stored before (or by another worker) keep their
// file: a url never changes. A stored file of the wrong size (cut short by a disk, or by hand) is
// replaced in one step, as these bytes are on disk already.
bool PutInPlace(const StoreState& state, PendingFile& f, std::string& error) {
    const char* name = f.stored.sha256.c_str();
    bool placed = state.unnamed ? LinkIn(state, f.fd, state.store, name)
                                : ::renameat2(state.incoming, f.temporary.c_str(), state.store, name, RENAME_NOREPLACE) == 0;
    int placeError = errno;
    bool damaged = !placed && (placeError == EINVAL || placeError == EEXIST) && !BlobPresent(state, f.stored);
    if (damaged && state.unnamed && f.fd >= 0) {
        placed = LinkIn(state, f.fd, state.incoming, f.temporary.c_str()) &&
                 ::renameat(state.incoming, f.temporary.c_str(), state.store, name) == 0;
        placeError = errno;
        if (!placed) {
            ::unlinkat(state.incoming, f.temporary.c_str(), 0);
        }
    } else if (damaged && !state.unnamed) {  // EINVAL: a file system that cannot refuse to replace
        placed = ::renameat(state.incoming, f.temporary.c_str(), state.store, name) == 0;
        placeError = errno;
    }
    errno = placeError;
    std::string why = placed ? std::string() : ErrnoText();
    if (!placed && !BlobPresent(state, f.stored)) {
        error = f.stored.path + ": cannot store: " + why;
    }
    if (!placed) {
        Drop(state, f);
    }
    if (f.fd >= 0) {
        ::close(f.fd);
        f.fd = -1;
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
    for (PendingFile& f : batch) {
        if (!ok) {
            Drop(state, f);
        }
        ok = ok && PutInPlace(state, f, error);
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

// Whether the store's file system makes unnamed files that can be linked in (tried once, in the
// folder of temporary files), and how; a batch of them keeps a descriptor each.
void ChooseUnnamed(StoreState& state) {
    std::string probe = state.prefix + "probe";
    int fd = ::openat(state.store, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kServedFileMode);
    state.unnamed = fd >= 0 && LinkIn(state, fd, state.incoming, probe.c_str());
    if (fd >= 0 && !state.unnamed) {
        state.linkByPath = true;
        state.unnamed = LinkIn(state, fd, state.incoming, probe.c_str());
    }
    if (state.unnamed) {
        ::unlinkat(state.incoming, probe.c_str(), 0);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    struct rlimit files {};
    // Each worker may be flushing a full batch while another one is filled.
    rlim_t batches = std::max(1u, std::thread::hardware_concurrency()) + 1;
    if (state.unnamed && ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < batches * kBatchFiles + kSpareFiles) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, batches * kBatchFiles + kSpareFiles);
        ::setrlimit(RLIMIT_NOFILE, &files);
        ::getrlimit(RLIMIT_NOFILE, &files);
    }
    state.unnamed = state.unnamed && files.rlim_cur >= kSpareFiles + batches * 64;
    state.batchFiles = state.unnamed ? std::min<size_t>(kBatchFiles, (files.rlim_cur - kSpareFiles) / batches) : kBatchFiles;
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
    ChooseUnnamed(state);
    return state.incoming >= 0;
}

void CloseStore(StoreState* state) {
    for (PendingFile& f : state->batch) {
        Drop(*state, f);
    }
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
    bool small = file.size <= kInMemory;
    content.clear();
    if (small && (!ReadOnce(source, file, seen, -1, &content, buffer, file.sha256, read, done, error) ||
                  Stored(state, file, true))) {
        return error.empty();
    }
    PendingFile made{state.prefix + std::to_string(index), BuildFile{file.path, file.sha256, file.size}, -1};
    made.fd = MakeFile(state, made.temporary);
    bool ok = made.fd >= 0 && (!state.chmod || ::fchmod(made.fd, kServedFileMode) == 0) &&
              (!small || WriteAll(made.fd, content.data(), content.size()));
    if (!ok) {
        error = file.path + ": cannot store: " + ErrnoText();
    }
    ok = ok && (small || ReadOnce(source, file, seen, made.fd, nullptr, buffer, file.sha256, read, done, error));
    made.stored.sha256 = file.sha256;
    // A large file is flushed and put in place on its own: its bytes, not the flush, cost the time.
    bool flushed = ok && !small && !Stored(state, file, true);
    if (flushed && ::fsync(made.fd) != 0) {
        error = file.path + ": cannot store: " + ErrnoText();
        ok = false;
    }
    // An unnamed file stays open until it is linked in; a named one is closed before its rename.
    if (made.fd >= 0 && (!ok || !state.unnamed || (!small && !flushed))) {
        ::close(made.fd);
        made.fd = -1;
    }
    // Counted when written, kept or not: what a publish costs the disk.
    std::vector<PendingFile> full;
    std::unique_lock<std::mutex> hold(state.mutex);
    state.written.files += ok ? 1 : 0;
    state.written.bytes += ok ? file.size : 0;
    if (!ok || !small) {
        hold.unlock();
        if (ok && flushed) {
            return PutInPlace(state, made, error);
        }
        Drop(state, made);
        return ok;
    }
    state.batch.push_back(std::move(made));
    state.batchBytes += file.size;
    if (state.batch.size() >= state.batchFiles || state.batchBytes >= kBatchBytes) {
        full.swap(state.batch);
        state.batchBytes = 0;
    }
    hold.unlock();  // the others go on while this batch is flushed
    return full.empty() || StoreBatch(state, full, error);
}

bool FinishStore(StoreState& state, bool failed, std::string& error) {
    for (PendingFile& f : state.batch) {
        if (failed) {
            Drop(state, f);
        }
    }
    if (failed || (!state.batch.empty() && !StoreBatch(state, state.batch, error))) {
        state.batch.clear();
        return false;
    }
    bool ok = ::fsync(state.store) == 0;
    if (!ok) {
        error = "cannot flush the store's folder to disk: " + ErrnoText();
    }
    return ok;
}
