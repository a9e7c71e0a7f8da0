// Reading builds into the store: digests on every core, each file read once where it can be, and
// nothing put in place before its bytes are on disk (see Storing.cpp).
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
#include "publisher/Storing.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 1 << 20;

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

}  // namespace

bool ReadOnce(const fs::path& source, const BuildFile& file, const FileStat* seen, int copyFd, std::string* content,
              std::vector<char>& buffer, std::string& digest, FileStat& read, std::atomic<uint64_t>& done,
              std::string& error) {
    // Without blocking, and only a regular file: a build file swapped for a pipe or a device since the
    // walk would hold the publish (and its lock) until something wrote to it, or never end.
    int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat asked {};
    if (fd < 0 || ::fstat(fd, &asked) != 0 || !S_ISREG(asked.st_mode)) {
        error = file.path + (fd >= 0 && asked.st_mode != 0 && !S_ISREG(asked.st_mode) ? ": no longer a regular file"
                                                                                      : ": cannot be read: " + ErrnoText());
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    FileStat before = seen ? *seen : StatOf(asked, "");
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
        // A read that stops short at the expected size is the end: the size and times after say whether it was.
        if (static_cast<size_t>(got) < buffer.size() && total == file.size) {
            break;
        }
    }
    struct stat now {};
    bool same = ::fstat(fd, &now) == 0 && SameStat(before, StatOf(now, ""));
    ::close(fd);
    if (ok && (!same || total != file.size || before.size != file.size)) {
        error = file.path + ": changed while it was being published; publish again once the build is complete";
        ok = false;
    }
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), raw, &length);
    digest = HexText(raw, length);
    read = before;
    read.sha256 = digest;
    return ok;
}

bool HashBuild(const fs::path& buildFolder, std::vector<BuildFile>& files, const fs::path& storeRoot,
               std::vector<FileStat>& known, std::string& error, std::vector<std::string>* problems,
               StoreCount* stored, const std::vector<FileStat>* seen) {
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
    std::unique_ptr<StoreState, decltype(&CloseStore)> closing(&state, &CloseStore);
    bool store = !storeRoot.empty();
    if (store && !OpenStore(storeRoot, state, error)) {
        return false;
    }
    size_t workers = std::max(1u, std::thread::hardware_concurrency());
    size_t running = workers;
    auto work = [&]() {
        std::vector<char> buffer(kChunk);
        std::string content;
        for (size_t i = next++; i < files.size() && !failed; i = next++) {
            BuildFile& file = files[i];
            FileStat unknown, &was = known.empty() ? unknown : known[i];
            const FileStat* walked = seen ? &(*seen)[i] : nullptr;
            std::string problem;
            fs::path source = walked ? fs::path() : buildFolder / file.path;
            struct stat st {};
            // A file standing as it did when it was last read has the digest it had then: not read again
            // unless its bytes are missing from the store.
            if (was.inode != 0 && (walked || ::stat(source.c_str(), &st) == 0) &&
                SameStat(walked ? *walked : StatOf(st, ""), was) &&
                (file.sha256 = was.sha256, !store || Stored(state, file))) {
                done += file.size;
                continue;
            }
            source = walked ? buildFolder / file.path : source;
            bool ok;
            // A file whose digest is likely known is only digested, and stored in a second pass in the
            // rare case that it changed at the same size into bytes not stored yet.
            if (!store || !was.sha256.empty()) {
                ok = ReadOnce(source, file, walked, -1, nullptr, buffer, file.sha256, was, done, problem);
                if (ok && store && !Stored(state, file)) {
                    done -= file.size;
                    ok = StoreOnce(source, i, file, walked, buffer, content, was, state, done, problem);
                }
            } else {
                ok = StoreOnce(source, i, file, walked, buffer, content, was, state, done, problem);
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
    if (store && !FinishStore(state, !firstError.empty(), firstError)) {
        error = firstError;
        return false;
    }
    error = firstError;
    return firstError.empty();
}
