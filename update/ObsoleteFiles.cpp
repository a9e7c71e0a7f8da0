#include "update/ObsoleteFiles.h"

#include <windows.h>

#include <vector>

#include "support/FileHandle.h"
#include "support/FileSystem.h"
#include "support/Paths.h"
#include "support/UpdateLog.h"
#include "update/OwnFiles.h"
#include "update/PathSafety.h"

namespace {

// mingw-w64's headers lack the Ex class (and number the classes after it wrongly).
constexpr FILE_INFO_BY_HANDLE_CLASS kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;

enum class TargetKind { Missing, Unreadable, RegularFile, Other };

bool IsMissingError(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_BAD_NETPATH ||
           error == ERROR_NETNAME_DELETED || error == ERROR_INVALID_NAME || error == ERROR_DIRECTORY;
}

// Follows symbolic links and junctions to the final target, as the decision must be about what
// the name leads to, not about the link.
TargetKind QueryTarget(const std::wstring& path) {
    FileFacts facts;
    DWORD error = 0;
    if (!QueryFileFacts(path, facts, error)) {
        return IsMissingError(error) ? TargetKind::Missing : TargetKind::Unreadable;
    }
    return facts.folder ? TargetKind::Other : TargetKind::RegularFile;
}

bool MarkForDeletion(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)) != 0;
}

// The name itself, not what a link leads to: with a link's own handle the deletion takes the link.
FileHandle OpenForDeletion(const std::wstring& path) {
    DWORD error = 0;
    return OpenFile(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, error);
}


// False when the open handle is another file than the name asked for, with that file's path in
// reached. Wine ignores FILE_FLAG_OPEN_REPARSE_POINT for links made on the Linux side and opens
// their target, which may lie outside the game folder and may have the same name; on Windows the
// handle is the link itself. So the handle must lead to the name inside the folder it stands in,
// the folder resolved the same way: game folders linked to other disks stay fine.
bool OpensTheNameItself(HANDLE file, const std::wstring& path, std::wstring& reached) {
    reached = FinalPath(file);
    DWORD error = 0;
    FileHandle folder = OpenFile(ParentFolder(path), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, error);
    std::wstring folderPath = folder ? FinalPath(folder.get()) : std::wstring();
    if (reached.empty() || folderPath.empty()) {
        return true;  // nothing to compare with; Windows' own handling of the name stands
    }
    std::wstring expected = JoinPath(folderPath, path.substr(LastElementStart(path)));
    return CompareStringOrdinal(expected.c_str(), static_cast<int>(expected.size()), reached.c_str(),
                                static_cast<int>(reached.size()), TRUE) == CSTR_EQUAL;
}

// Deletes through the handle. POSIX semantics free the name at once even while others hold the
// file open with delete sharing; Wine and older Windows lack the Ex class.
bool DeleteThroughHandle(HANDLE handle) {
    DWORD flags = kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly;
    if (SetFileInformationByHandle(handle, kFileDispositionInfoEx, &flags, sizeof(flags))) {
        return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) {
        return false;
    }
    if (MarkForDeletion(handle)) {
        return true;
    }
    if (GetLastError() != ERROR_ACCESS_DENIED) {
        return false;
    }
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic)) ||
        !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
        return false;
    }
    FILE_BASIC_INFO writable = basic;
    writable.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (writable.FileAttributes == 0) {
        writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    if (!SetFileInformationByHandle(handle, FileBasicInfo, &writable, sizeof(writable))) {
        return false;
    }
    if (MarkForDeletion(handle)) {
        return true;
    }
    // The file stays, so it keeps the protection its owner gave it.
    SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic));
    return false;
}

// A download that an interrupted update left beside the obsolete file would otherwise stay for good:
// no later manifest names it. Removed as carefully as the file itself.
bool RemoveLeftoverDownload(const std::wstring& installFolder, const std::wstring& target) {
    std::wstring leftover = target + L".download";
    if (QueryTarget(leftover) != TargetKind::RegularFile) {
        return true;
    }
    FileHandle file = OpenForDeletion(leftover);
    std::wstring reached;
    if (!file || !OpensTheNameItself(file.get(), leftover, reached) || ReachesOwnFile(installFolder, reached) ||
        !DeleteThroughHandle(file.get())) {
        AppendLogLine(L"Could not delete obsolete file: " + leftover);
        return false;
    }
    AppendLogLine(L"Deleted obsolete file: " + leftover);
    return true;
}

}  // namespace

bool RemoveObsoleteFile(const std::wstring& installFolder, const std::wstring& relativePath) {
    // The launcher's own files are never obsolete: a manifest that lists its serial record would switch
    // replay protection off for good.
    if (!IsSafeRelativePath(relativePath) || IsLauncherFile(relativePath)) {
        AppendLogLine(L"Refused unsafe obsolete path: " + relativePath);
        return false;
    }
    std::wstring target = LexicallyNormal(JoinPath(installFolder, relativePath));
    TargetKind kind = QueryTarget(target);
    if (kind == TargetKind::Missing) {
        return RemoveLeftoverDownload(installFolder, target);
    }
    if (kind == TargetKind::Unreadable) {
        return false;
    }
    if (QueryTarget(target) != TargetKind::RegularFile) {
        AppendLogLine(L"Refused non-file obsolete path: " + target);
        return false;
    }
    FileHandle file = OpenForDeletion(target);
    std::wstring reached;
    if (file && !OpensTheNameItself(file.get(), target, reached)) {
        AppendLogLine(L"Refused obsolete path that leads elsewhere: " + target + L" -> " + reached);
        return false;
    }
    if (file && !reached.empty() && ReachesOwnFile(installFolder, reached)) {
        AppendLogLine(L"Refused unsafe obsolete path: " + relativePath);
        return false;
    }
    if (!file || !DeleteThroughHandle(file.get())) {
        AppendLogLine(L"Could not delete obsolete file: " + target);
        return false;
    }
    AppendLogLine(L"Deleted obsolete file: " + target);
    return RemoveLeftoverDownload(installFolder, target);
}
