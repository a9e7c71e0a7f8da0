#include "update/InstallFile.h"

#include <windows.h>

#include <cwctype>
#include <filesystem>
#include <system_error>

#include "net/Download.h"
#include "net/Sha256.h"
#include "support/PathJoin.h"
#include "update/MoveIntoPlace.h"
#include "update/ObsoleteFiles.h"

namespace {

constexpr wchar_t kUpdatesPrefix[] = L"/updates/";

bool DigestMatches(const std::wstring& computed, const std::wstring& expected) {
    if (computed.size() != expected.size()) {
        return false;
    }
    for (size_t i = 0; i < computed.size(); ++i) {
        if (std::towlower(computed[i]) != std::towlower(expected[i])) {
            return false;
        }
    }
    return true;
}

// Length of the file the path leads to; false when it cannot be queried.
bool QueryFileLength(const std::wstring& path, uint64_t& length) {
    std::error_code error;
    length = std::filesystem::file_size(std::filesystem::path(path), error);
    return !error;
}

// The folder part of a path; never cuts into the root ("C:\", "\\server\share\").
std::wstring ParentFolder(const std::wstring& path) {
    size_t rootLength = std::filesystem::path(path).root_path().native().size();
    size_t end = LastElementStart(path);
    while (end > rootLength && IsPathSeparator(path[end - 1])) {
        --end;
    }
    return path.substr(0, end);
}

bool IsFileCurrent(const std::wstring& targetPath, const ManifestFile& entry) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::status(std::filesystem::path(targetPath), error))) {
        return false;
    }
    uint64_t length = 0;
    if (!QueryFileLength(targetPath, length) || (entry.size != 0 && length != entry.size)) {
        return false;
    }
    return DigestMatches(Sha256OfFile(targetPath), entry.sha256);
}

}  // namespace

bool InstallFile(const std::wstring& installFolder, const ManifestFile& entry, uint64_t bytesBefore,
                 uint64_t bytesTotal, ProgressCallback progress, void* progressContext, const std::wstring& statusText) {
    if (!IsSafeRelativePath(entry.path)) {
        return false;
    }
    if (entry.url.compare(0, 9, kUpdatesPrefix) != 0) {
        return false;
    }
    std::wstring targetPath = JoinPath(installFolder, entry.path);
    if (IsFileCurrent(targetPath, entry)) {
        return true;
    }
    std::wstring temporaryPath = targetPath + L".download";
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(ParentFolder(targetPath)), error);
    if (error) {
        return false;
    }
    if (!DownloadToFile(entry.url, temporaryPath, entry.size, bytesBefore, bytesTotal, progress, progressContext,
                        statusText)) {
        return false;
    }
    uint64_t length = 0;
    if (!QueryFileLength(temporaryPath, length) || (entry.size != 0 && length != entry.size) ||
        !DigestMatches(Sha256OfFile(temporaryPath), entry.sha256)) {
        DeleteFileW(temporaryPath.c_str());
        return false;
    }
    if (!MoveIntoPlace(temporaryPath, targetPath)) {
        DeleteFileW(temporaryPath.c_str());
        return false;
    }
    return true;
}
