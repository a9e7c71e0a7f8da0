#include "update/InstallFile.h"

#include <windows.h>

#include <cwctype>

#include "net/Download.h"
#include "net/Sha256.h"
#include "support/FileHandle.h"
#include "support/FileSystem.h"
#include "support/Paths.h"
#include "support/UpdateLog.h"
#include "update/MoveIntoPlace.h"
#include "update/OwnFiles.h"
#include "update/PathSafety.h"

namespace {

constexpr wchar_t kUpdatesPrefix[] = L"/updates/";
// The SHA-256 of no bytes.
constexpr wchar_t kEmptyDigest[] = L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

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

// The regular file the path leads to has the entry's length (any length when the entry gives none).
bool HasExpectedLength(const std::wstring& path, const ManifestFile& entry) {
    FileFacts facts;
    DWORD error = 0;
    return QueryFileFacts(path, facts, error) && !facts.folder && (entry.size == 0 || facts.size == entry.size);
}

bool IsFileCurrent(const std::wstring& targetPath, const ManifestFile& entry) {
    return HasExpectedLength(targetPath, entry) && DigestMatches(Sha256OfFile(targetPath), entry.sha256);
}

// Whether the download will go on from bytes an earlier run left: it starts afresh from a file
// longer than the entry.
bool WillResume(const std::wstring& temporaryPath, const ManifestFile& entry) {
    FileFacts facts;
    DWORD error = 0;
    return QueryFileFacts(temporaryPath, facts, error) && !facts.folder && facts.size > 0 &&
           (entry.size == 0 || facts.size <= entry.size);
}

bool EmptyFile(const std::wstring& path) {
    DWORD error = 0;
    return static_cast<bool>(OpenFile(path, GENERIC_WRITE, 0, TRUNCATE_EXISTING, FILE_ATTRIBUTE_TEMPORARY, error));
}

}  // namespace

bool InstallFile(const std::wstring& installFolder, const ManifestFile& entry, uint64_t bytesBefore,
                 uint64_t bytesTotal, ProgressCallback progress, void* progressContext, const std::wstring& statusText,
                 PendingUpdate& pending) {
    // The launcher's own files are its records: a build may never overwrite them or block them with a folder.
    if (!IsSafeRelativePath(entry.path) || IsLauncherFile(entry.path)) {
        return false;
    }
    if (entry.url.compare(0, 9, kUpdatesPrefix) != 0) {
        return false;
    }
    std::wstring targetPath = JoinPath(installFolder, entry.path);
    // Windows takes a "\\?\" name literally: '/' and dot elements would become parts of file names.
    if (IsLiteralPath(installFolder)) {
        targetPath = LexicallyNormal(targetPath);
    }
    // Nor by another name that reaches one (a short 8.3 name, a link back to the game folder).
    bool exists = false;
    if (LeadsToOwnFile(installFolder, targetPath, exists)) {
        return false;
    }
    // Under Wine a name that is not there costs a search of its whole folder (names compare without
    // case): a new file is looked for once.
    if (exists && IsFileCurrent(targetPath, entry)) {
        return true;
    }
    // An empty file is written here, not asked for: a size of 0 checks no length, so a host could
    // stream any number of bytes into its download.
    std::wstring temporaryPath = targetPath + L".download";
    if (DigestMatches(kEmptyDigest, entry.sha256)) {
        if (entry.size != 0 || !CreateFolderTree(ParentFolder(LexicallyNormal(targetPath)))) {
            return false;
        }
        RecordPendingUpdate(pending);
        if (!ReplaceWholeFile(targetPath, std::string())) {
            DeleteFileW(temporaryPath.c_str());
            return false;
        }
        return true;
    }
    // The folders that the path means, not those it spells: "data.pak/../other.pak" must not leave a
    // folder data.pak behind to block a file of that name at every later start.
    if (!CreateFolderTree(ParentFolder(LexicallyNormal(targetPath)))) {
        return false;
    }
    bool resumed = WillResume(temporaryPath, entry);
    if (!DownloadToFile(entry.url, temporaryPath, entry.size, bytesBefore, bytesTotal, progress, progressContext,
                        statusText)) {
        return false;
    }
    // What an earlier run left may be the start of another build's file (one published in between):
    // the rest of this one does not make it whole.
    bool verified = IsFileCurrent(temporaryPath, entry);
    if (!verified && resumed) {
        AppendLogLine(L"Resumed download failed its check; downloading it again from byte 0: " + temporaryPath);
        if (EmptyFile(temporaryPath) && !DownloadToFile(entry.url, temporaryPath, entry.size, bytesBefore, bytesTotal,
                                                        progress, progressContext, statusText)) {
            return false;  // a later run resumes this download, which began at byte 0
        }
        verified = IsFileCurrent(temporaryPath, entry);
    }
    if (!verified) {
        DeleteFileW(temporaryPath.c_str());
        return false;
    }
    RecordPendingUpdate(pending);
    if (!MoveIntoPlace(temporaryPath, targetPath)) {
        DeleteFileW(temporaryPath.c_str());
        return false;
    }
    return true;
}
