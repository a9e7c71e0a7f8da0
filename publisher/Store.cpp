// Writing the served tree: whole files flushed before their rename, and the lock that keeps one
// writer at a time.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "publisher/Store.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string ErrnoText() {
    return std::strerror(errno);
}

}  // namespace

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

namespace {

bool Flushed(const fs::path& path, int flags, int (*flush)(int), std::string& error) {
    int fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && flush(fd) == 0;
    if (!ok) {
        error = "cannot flush " + path.string() + " to disk: " + ErrnoText();
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

}  // namespace

bool SyncFolder(const fs::path& folder, std::string& error) {
    return Flushed(folder, O_DIRECTORY, ::fsync, error);
}

bool SyncFile(const fs::path& file, std::string& error) {
    return Flushed(file, 0, ::fsync, error);
}

bool SyncFileSystem(const fs::path& folder, std::string& error) {
    return Flushed(folder, O_DIRECTORY, ::syncfs, error);
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

bool BlobStored(const fs::path& servedRoot, const BuildFile& file) {
    struct stat st {};
    return ::stat(BlobPath(servedRoot, file.sha256).c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == file.size;
}
