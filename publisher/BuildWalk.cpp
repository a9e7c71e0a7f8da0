#include "publisher/BuildWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Folders still to read (relative to the build, each with its '/'), shared by the workers.
struct Pending {
    int root = -1;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> folders{""};
    size_t busy = 0;
    bool failed = false;
    std::string error;
};

std::string ErrnoText() {
    return std::strerror(errno);
}

int64_t Ns(const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void CloseFolder(DIR* dir) {
    ::closedir(dir);
}

std::string LinkRefused(const std::string& path) {
    return path + ": symbolic links are not published; copy the file into the build";
}

// One folder: its files into `found`, its folders into `more`. A folder is not followed if it became a
// link since it was listed.
bool ReadFolder(int root, const std::string& relative, std::vector<WalkedFile>& found, std::vector<std::string>& more,
                std::string& error) {
    int fd = relative.empty() ? ::dup(root) : ::openat(root, relative.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    std::unique_ptr<DIR, void (*)(DIR*)> dir(fd >= 0 ? ::fdopendir(fd) : nullptr, &CloseFolder);
    if (!dir) {
        error = errno == ELOOP ? LinkRefused(relative.substr(0, relative.size() - 1)) : "cannot read the build folder: " + ErrnoText();
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    for (;;) {
        errno = 0;
        struct dirent* entry = ::readdir(dir.get());
        if (!entry) {
            error = errno != 0 ? "cannot read the build folder: " + ErrnoText() : std::string();
            return error.empty();
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        std::string path = relative + name;
        struct stat st {};
        if (entry->d_type != DT_DIR && ::fstatat(::dirfd(dir.get()), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            error = path + ": cannot be read: " + ErrnoText();
            return false;
        }
        if (entry->d_type == DT_DIR || S_ISDIR(st.st_mode)) {
            more.push_back(path + "/");
            continue;
        }
        std::string problem = S_ISLNK(st.st_mode)  ? "symbolic links are not published; copy the file into the build"
                              : !S_ISREG(st.st_mode) ? "not a regular file"
                                                     : PublishedPathProblem(path);
        if (!problem.empty()) {
            error = path + ": " + problem;
            return false;
        }
        std::string key = WindowsNameKey(path);
        size_t keyHash = std::hash<std::string>()(key);
        found.push_back(WalkedFile{std::move(path), std::move(key), keyHash,
                                   FileStat{std::string(), static_cast<uint64_t>(st.st_size), st.st_ino, st.st_dev,
                                            Ns(st.st_mtim), Ns(st.st_ctim)}});
    }
}

}  // namespace

bool WalkBuild(const fs::path& buildFolder, std::vector<std::vector<WalkedFile>>& parts, std::string& error) {
    Pending pending;
    pending.root = ::open(buildFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (pending.root < 0) {
        error = "cannot read the build folder: " + ErrnoText();
        return false;
    }
    parts.assign(std::max(1u, std::thread::hardware_concurrency()), std::vector<WalkedFile>());
    auto work = [&pending](std::vector<WalkedFile>& mine) {
        std::vector<std::string> more;
        std::string problem;
        std::unique_lock<std::mutex> hold(pending.mutex);
        for (;;) {
            pending.changed.wait(hold, [&] { return pending.failed || !pending.folders.empty() || pending.busy == 0; });
            if (pending.failed || pending.folders.empty()) {
                hold.unlock();
                std::sort(mine.begin(), mine.end(), [](const WalkedFile& a, const WalkedFile& b) { return a.path < b.path; });
                return;
            }
            std::string folder = std::move(pending.folders.back());
            pending.folders.pop_back();
            ++pending.busy;
            hold.unlock();
            more.clear();
            bool ok = ReadFolder(pending.root, folder, mine, more, problem);
            hold.lock();
            --pending.busy;
            if (!ok && !pending.failed) {
                pending.failed = true;
                pending.error = problem;
            }
            std::move(more.begin(), more.end(), std::back_inserter(pending.folders));
            pending.changed.notify_all();
        }
    };
    std::vector<std::thread> workers;
    for (auto& part : parts) {
        workers.emplace_back(work, std::ref(part));
    }
    for (std::thread& w : workers) {
        w.join();
    }
    ::close(pending.root);
    error = pending.error;
    return !pending.failed;
}
