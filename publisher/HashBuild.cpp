// Reading builds into the store: digests on every core, each file read once where it can be, and
// nothing renamed into place before its bytes are on disk. New files are made durable a batch at a
// time (one flush of the file system for thousands of small files), then renamed.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "publisher/ProgressLine.h"
#include "publisher/Store.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 1 << 20;
constexpr uint64_t kInMemory = 1 << 20;  // read whole and digested before anything is written
constexpr size_t kBatchFiles = 8192;
constexpr uint64_t kBatchBytes = uint64_t{256} << 20;

// Written under a temporary name: renamed to its digest once the batch is on disk.
struct PendingFile {
    std::string temporary;
    BuildFile stored;  // path: the digest's name in the store
};

std::string ErrnoText() {
    return std::strerror(errno);
}

int64_t Ns(const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FileStat StatOf(const struct stat& st, const std::string& sha256) {
    return FileStat{sha256, static_cast<uint64_t>(st.st_size), st.st_ino, st.st_dev, Ns(st.st_mtim), Ns(st.st_ctim)};
}

bool SameStat(const FileStat& a, const FileStat& b) {
    return a.size == b.size && a.inode == b.inode && a.device == b.device && a.modifiedNs == b.modifiedNs &&
           a.changedNs == b.changedNs;
}

// One pass over the source: digested, and copied to `copyFd` when it is open or into `content` when
// given; `read` is what it was. Its size and times before and after tell whether the build changed under us.
bool ReadOnce(const fs::path& source, const BuildFile& file, int copyFd, std::string* content, std::vector<char>& buffer,
              std::string& digest, FileStat& read, std::atomic<uint64_t>& done, std::string& error) {
    // Without blocking: a build file swapped for a pipe since the scan would hold the publish (and its
    // lock) until something wrote to it.
    int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat before {};
    if (fd < 0 || ::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
        error = file.path + (fd >= 0 && !S_ISREG(before.st_mode) ? ": no longer a regular file" : ": cannot be read: " + ErrnoText());
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    uint64_t total = 0;
    bool ok = true;
    for (;;) {
        ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = file.path + ": cannot be read: " + ErrnoText();
            ok = false;
        }
        if (got <= 0) {
            break;
        }
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(got));
        if (copyFd >= 0 && !WriteAll(copyFd, buffer.data(), static_cast<size_t>(got))) {
            error = file.path + ": cannot store: " + ErrnoText();
            ok = false;
            break;
        }
        if (content) {
            content->append(buffer.data(), static_cast<size_t>(got));
        }
        total += static_cast<uint64_t>(got);
        done += static_cast<uint64_t>(got);
    }
    ::close(fd);
    struct stat now {};
    if (ok && (::stat(source.c_str(), &now) != 0 || !SameStat(StatOf(before, ""), StatOf(now, "")) || total != file.size ||
               static_cast<uint64_t>(before.st_size) != file.size)) {
        error = file.path + ": changed while it was being published; publish again once the build is complete";
        ok = false;
    }
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), raw, &length);
    digest = HexText(raw, length);
    read = StatOf(before, digest);
    return ok;
}

bool BlobPresent(const fs::path& blobFolder, const BuildFile& file) {
    struct stat st {};
    return ::stat((blobFolder / file.sha256).c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == file.size;
}

// Renames a file on disk to its digest; equal bytes stored before (or by another worker) keep their
// file: a url never changes.
bool PutInPlace(const fs::path& blobFolder, const std::string& temporary, const BuildFile& stored, std::string& error) {
    bool renamed = !BlobPresent(blobFolder, stored) && ::rename(temporary.c_str(), (blobFolder / stored.sha256).c_str()) == 0;
    if (!renamed && !BlobPresent(blobFolder, stored)) {
        error = stored.path + ": cannot store: " + ErrnoText();
    }
    if (!renamed) {
        ::unlink(temporary.c_str());
    }
    return error.empty();
}

// Flushes the file system the store is on (every file of the batch at once: one flush instead of one
// each), then puts each file in place.
bool StoreBatch(const fs::path& blobFolder, std::vector<PendingFile>& batch, std::string& error) {
    bool ok = SyncFileSystem(blobFolder, error);
    for (const PendingFile& f : batch) {
        if (!ok) {
            ::unlink(f.temporary.c_str());
        }
        ok = ok && PutInPlace(blobFolder, f.temporary, f.stored, error);
    }
    batch.clear();
    return ok;
}

// What the workers share while storing: the batch being filled and what was written.
struct StoreState {
    fs::path blobFolder;
    std::mutex mutex;
    std::vector<PendingFile> batch;
    uint64_t batchBytes = 0;
    StoreCount written;
};

// Stores one file whose digest is not known: a small one is digested first and written only when its
// bytes are not stored yet; a large one is digested while it is written, its copy dropped unflushed
// when equal bytes turn out to be stored.
bool StoreOnce(const fs::path& source, size_t index, BuildFile& file, std::vector<char>& buffer, std::string& content,
               FileStat& read, StoreState& state, std::atomic<uint64_t>& done, std::string& error) {
    fs::path temporary = state.blobFolder / (".incoming-" + std::to_string(::getpid()) + "-" + std::to_string(index));
    bool small = file.size <= kInMemory;
    content.clear();
    if (small && (!ReadOnce(source, file, -1, &content, buffer, file.sha256, read, done, error) ||
                  BlobPresent(state.blobFolder, file))) {
        return error.empty();
    }
    int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = out >= 0 && ::fchmod(out, kServedFileMode) == 0 && (!small || WriteAll(out, content.data(), content.size()));
    if (!ok) {
        error = file.path + ": cannot store: " + ErrnoText();
    }
    ok = ok && (small || ReadOnce(source, file, out, nullptr, buffer, file.sha256, read, done, error));
    // A large file is flushed and put in place on its own: its bytes, not the flush, cost the time.
    bool flushed = ok && !small && !BlobPresent(state.blobFolder, file);
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
            return PutInPlace(state.blobFolder, temporary, file, error);
        }
        ::unlink(temporary.c_str());
        return ok;
    }
    state.batch.push_back(PendingFile{temporary.string(), BuildFile{file.path, file.sha256, file.size}});
    state.batchBytes += file.size;
    if (state.batch.size() >= kBatchFiles || state.batchBytes >= kBatchBytes) {
        full.swap(state.batch);
        state.batchBytes = 0;
    }
    hold.unlock();  // the others go on while this batch is flushed
    return full.empty() || StoreBatch(state.blobFolder, full, error);
}

}  // namespace

bool HashBuild(const fs::path& buildFolder, std::vector<BuildFile>& files, const fs::path& blobFolder,
               std::vector<FileStat>& known, std::string& error, std::vector<std::string>* problems,
               StoreCount* stored) {
    uint64_t total = 0;
    for (const BuildFile& f : files) {
        total += f.size;
    }
    std::atomic<uint64_t> done{0};
    std::atomic<size_t> next{0};
    std::mutex mutex;
    std::condition_variable finished;
    std::string firstError;
    std::atomic<bool> failed{false};
    StoreState state;
    state.blobFolder = blobFolder;
    size_t workers = std::max(1u, std::thread::hardware_concurrency());
    size_t running = workers;
    auto work = [&]() {
        std::vector<char> buffer(kChunk);
        std::string content;
        for (size_t i = next++; i < files.size() && !failed; i = next++) {
            BuildFile& file = files[i];
            FileStat unknown, &was = known.empty() ? unknown : known[i];
            std::string problem;
            fs::path source = buildFolder / file.path;
            struct stat st {};
            // A file standing as it did when it was last read has the digest it had then: not read again
            // unless its bytes are missing from the store.
            if (was.inode != 0 && ::stat(source.c_str(), &st) == 0 && SameStat(StatOf(st, ""), was) &&
                (file.sha256 = was.sha256, blobFolder.empty() || BlobPresent(blobFolder, file))) {
                done += file.size;
                continue;
            }
            bool ok;
            // A file whose digest is likely known is only digested, and stored in a second pass in the
            // rare case that it changed at the same size into bytes not stored yet.
            if (blobFolder.empty() || !was.sha256.empty()) {
                ok = ReadOnce(source, file, -1, nullptr, buffer, file.sha256, was, done, problem);
                if (ok && !blobFolder.empty() && !BlobPresent(blobFolder, file)) {
                    done -= file.size;
                    ok = StoreOnce(source, i, file, buffer, content, was, state, done, problem);
                }
            } else {
                ok = StoreOnce(source, i, file, buffer, content, was, state, done, problem);
            }
            std::lock_guard<std::mutex> hold(mutex);
            if (!ok && problems) {
                file.sha256.clear();
                problems->push_back(problem);
            } else if (!ok) {
                firstError = failed.exchange(true) ? firstError : problem;
            }
        }
        std::lock_guard<std::mutex> hold(mutex);
        --running;
        finished.notify_all();
    };
    std::vector<std::thread> threads;
    for (size_t i = 0; i < workers; ++i) {
        threads.emplace_back(work);
    }
    ProgressLine progress = StartProgress();
    std::unique_lock<std::mutex> hold(mutex);
    while (!finished.wait_for(hold, std::chrono::milliseconds(100), [&] { return running == 0; })) {
        ShowProgress(progress, "reading the build", done, total);
    }
    hold.unlock();
    for (std::thread& t : threads) {
        t.join();
    }
    EndProgress(progress, firstError.empty());
    if (stored) {
        *stored = state.written;
    }
    // What is left of the last batch is stored now, or dropped when the publish failed.
    for (const PendingFile& f : firstError.empty() ? std::vector<PendingFile>() : state.batch) {
        ::unlink(f.temporary.c_str());
    }
    if (!firstError.empty() || (!state.batch.empty() && !StoreBatch(blobFolder, state.batch, firstError))) {
        error = firstError;
        return false;
    }
    return blobFolder.empty() || SyncFolder(blobFolder, error);
}
