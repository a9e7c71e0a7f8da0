// Reading builds and writing the served tree: digests on every core, each new file read once, and
// nothing renamed into place before its bytes are on disk.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "publisher/ProgressLine.h"
#include "publisher/Store.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kChunk = 1 << 20;

std::string ErrnoText() {
    return std::strerror(errno);
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t wrote = ::write(fd, data, size);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        data += wrote;
        size -= static_cast<size_t>(wrote);
    }
    return true;
}

bool SameStat(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ino == b.st_ino;
}

// One pass over the source: digested, and copied to `copyFd` when it is open. The size and time of
// change before and after tell us whether the build changed under us.
bool ReadOnce(const fs::path& source, const BuildFile& file, int copyFd, std::string& digest,
              std::atomic<uint64_t>& done, std::string& error) {
    int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat before {};
    if (fd < 0 || ::fstat(fd, &before) != 0) {
        error = file.path + ": cannot be read: " + ErrnoText();
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::vector<char> buffer(kChunk);
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
        total += static_cast<uint64_t>(got);
        done += static_cast<uint64_t>(got);
    }
    ::close(fd);
    struct stat now {};
    if (ok && (::stat(source.c_str(), &now) != 0 || !SameStat(before, now) || total != file.size ||
               static_cast<uint64_t>(before.st_size) != file.size)) {
        error = file.path + ": changed while it was being published; publish again once the build is complete";
        ok = false;
    }
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), raw, &length);
    digest = HexText(raw, length);
    return ok;
}

bool BlobPresent(const fs::path& blobFolder, const BuildFile& file) {
    struct stat st {};
    return ::stat((blobFolder / file.sha256).c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == file.size;
}

// Copies and digests in one pass into a private temporary name, then renames it to its digest.
bool StoreOnce(const fs::path& source, const fs::path& blobFolder, size_t index, BuildFile& file,
               std::atomic<uint64_t>& done, std::string& error) {
    fs::path temporary = blobFolder / (".incoming-" + std::to_string(::getpid()) + "-" + std::to_string(index));
    int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || ::fchmod(out, kServedFileMode) != 0) {
        error = file.path + ": cannot store: " + ErrnoText();
        return false;
    }
    bool ok = ReadOnce(source, file, out, file.sha256, done, error);
    if (ok && ::fsync(out) != 0) {
        error = file.path + ": cannot store: " + ErrnoText();
        ok = false;
    }
    ::close(out);
    // Equal bytes stored before (or by another worker) keep their file: a served url never changes.
    if (ok && !BlobPresent(blobFolder, file) && ::rename(temporary.c_str(), (blobFolder / file.sha256).c_str()) != 0) {
        error = file.path + ": cannot store: " + ErrnoText();
        ok = false;
    }
    ::unlink(temporary.c_str());
    return ok;
}

}  // namespace

bool HashBuild(const fs::path& buildFolder, std::vector<BuildFile>& files, const fs::path& blobFolder,
               const std::vector<std::string>& expected, std::string& error, std::vector<std::string>* problems) {
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
    size_t workers = std::max(1u, std::thread::hardware_concurrency());
    size_t running = workers;
    auto work = [&]() {
        for (size_t i = next++; i < files.size() && !failed; i = next++) {
            BuildFile& file = files[i];
            std::string problem;
            bool ok;
            // A file recorded before whose stored copy exists is most likely unchanged: digest it only,
            // and copy it in a second pass in the rare case that it did change at the same size.
            if (blobFolder.empty() || !expected[i].empty()) {
                ok = ReadOnce(buildFolder / file.path, file, -1, file.sha256, done, problem);
                if (ok && !blobFolder.empty() && !BlobPresent(blobFolder, file)) {
                    done -= file.size;
                    ok = StoreOnce(buildFolder / file.path, blobFolder, i, file, done, problem);
                }
            } else {
                ok = StoreOnce(buildFolder / file.path, blobFolder, i, file, done, problem);
            }
            if (!ok && problems) {
                std::lock_guard<std::mutex> hold(mutex);
                file.sha256.clear();
                problems->push_back(problem);
            } else if (!ok) {
                std::lock_guard<std::mutex> hold(mutex);
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
    if (!firstError.empty()) {
        error = firstError;
        return false;
    }
    return blobFolder.empty() || SyncFolder(blobFolder, error);
}

bool SyncFolder(const fs::path& folder, std::string& error) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (!ok) {
        error = "cannot flush " + folder.string() + " to disk: " + ErrnoText();
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

bool WriteWhole(const fs::path& target, const std::string& bytes, std::string& error, bool everyoneReads) {
    fs::path temporary = target;
    temporary += ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && (!everyoneReads || ::fchmod(fd, kServedFileMode) == 0) && WriteAll(fd, bytes.data(), bytes.size()) &&
              ::fsync(fd) == 0;
    if (!ok) {
        error = "cannot write " + temporary.string() + ": " + ErrnoText();
    }
    if (fd >= 0) {
        ::close(fd);
    }
    if (ok && ::rename(temporary.c_str(), target.c_str()) != 0) {
        error = "cannot rename " + temporary.string() + ": " + ErrnoText();
        ok = false;
    }
    if (!ok) {
        ::unlink(temporary.c_str());  // a failed publish leaves nothing half-made behind
    }
    return ok && SyncFolder(target.parent_path(), error);
}

bool LockServed(const fs::path& servedRoot, double seconds, int& lockFd, std::string& error) {
    std::string ignored;  // a folder that cannot be made is named by the lock's open below
    CreateServedFolders(servedRoot, ignored);
    fs::path lockFile = servedRoot / "publish.lock";
    lockFd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0) {
        error = "cannot open " + lockFile.string() + ": " + ErrnoText();
        return false;
    }
    Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(seconds));
    for (bool told = false; ::flock(lockFd, LOCK_EX | LOCK_NB) != 0; told = true) {
        int failure = errno;
        if (!told && failure == EWOULDBLOCK && seconds > 0) {
            std::fprintf(stderr, "waiting for another publish, prune, rollback or push in %s to finish (%s), up to %g s "
                         "(--lock-timeout)\n", servedRoot.c_str(), lockFile.c_str(), seconds);
        }
        if (failure != EWOULDBLOCK && failure != EINTR) {
            error = "cannot lock " + lockFile.string() + ": " + std::strerror(failure);
        } else if (Clock::now() >= deadline) {
            char waited[32];
            std::snprintf(waited, sizeof waited, "%g", seconds);
            error = "another publish, prune, rollback or push holds " + lockFile.string() + "; gave up after " + waited +
                    " s (--lock-timeout); try again when it has finished";
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        ::close(lockFd);
        lockFd = -1;
        return false;
    }
    return true;
}

bool UnlockServed(int lockFd) {
    return lockFd < 0 || ::close(lockFd) == 0;
}

bool ReadWhole(const fs::path& file, std::string& text) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    text = bytes.str();
    return static_cast<bool>(in);
}

std::string HexText(const unsigned char* bytes, unsigned int length) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[bytes[i] >> 4]);
        hex.push_back(kHex[bytes[i] & 15]);
    }
    return hex;
}
