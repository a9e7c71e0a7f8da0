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

// A folder to read: its path relative to the build (with its '/') and what it was when it was listed.
struct Listed {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};

// Folders still to read, shared by the workers.
struct Pending {
    int root = -1;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Listed> folders{Listed{}};
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

// Opens a listed folder, refusing one that is no longer what was listed: a folder above it, or it,
// swapped for a link since would lead the walk out of the build.
int OpenListed(int root, const Listed& folder, std::string& error) {
    if (folder.path.empty()) {
        return ::dup(root);
    }
    std::string name = folder.path.substr(0, folder.path.size() - 1);
    int fd = ::openat(root, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int openError = errno;
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_dev == folder.device && st.st_ino == folder.inode) {
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    bool link = ::fstatat(root, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    error = link ? LinkRefused(name)
            : fd >= 0 || openError == ENOTDIR || openError == ENOENT || openError == ELOOP
                ? name + ": changed while it was being published; publish again once the build is complete"
                : "cannot read the build folder: " + std::string(std::strerror(openError));
    return -1;
}

// One folder: its files into `found`, its folders into `more`.
bool ReadFolder(int root, const Listed& folder, std::vector<WalkedFile>& found, std::vector<Listed>& more,
                std::string& error) {
    const std::string& relative = folder.path;
    int fd = OpenListed(root, folder, error);
    if (fd < 0) {
        return false;
    }
    std::unique_ptr<DIR, void (*)(DIR*)> dir(::fdopendir(fd), &CloseFolder);
    if (!dir) {
        error = "cannot read the build folder: " + ErrnoText();
        ::close(fd);
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
        if (::fstatat(::dirfd(dir.get()), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            error = path + ": cannot be read: " + ErrnoText();
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            more.push_back(Listed{path + "/", st.st_dev, st.st_ino});
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
        std::vector<Listed> more;
        std::string problem;
        std::unique_lock<std::mutex> hold(pending.mutex);
        for (;;) {
            pending.changed.wait(hold, [&] { return pending.failed || !pending.folders.empty() || pending.busy == 0; });
            if (pending.failed || pending.folders.empty()) {
                hold.unlock();
                std::sort(mine.begin(), mine.end(), [](const WalkedFile& a, const WalkedFile& b) { return a.path < b.path; });
                return;
            }
            Listed folder = std::move(pending.folders.back());
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
