#include "update/ObsoleteFiles.h"

#include <windows.h>

#include "support/FileHandle.h"
#include "support/FileSystem.h"
#include "support/Paths.h"
#include "support/UpdateLog.h"

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

// Deletes the name itself (a link, not what it points to). POSIX semantics free the name at once
// even while others hold the file open with delete sharing; Wine and older Windows lack the Ex class.
bool DeleteEntry(const std::wstring& path) {
    DWORD error = 0;
    FileHandle file = OpenFile(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, error);
    if (!file) {
        return false;
    }
    DWORD flags = kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly;
    if (SetFileInformationByHandle(file.get(), kFileDispositionInfoEx, &flags, sizeof(flags))) {
        return true;
    }
    error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) {
        return false;
    }
    if (MarkForDeletion(file.get())) {
        return true;
    }
    if (GetLastError() != ERROR_ACCESS_DENIED) {
        return false;
    }
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof(basic)) ||
        !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
        return false;
    }
    FILE_BASIC_INFO writable = basic;
    writable.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (writable.FileAttributes == 0) {
        writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    if (!SetFileInformationByHandle(file.get(), FileBasicInfo, &writable, sizeof(writable))) {
        return false;
    }
    if (MarkForDeletion(file.get())) {
        return true;
    }
    // The file stays, so it keeps the protection its owner gave it.
    SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof(basic));
    return false;
}

}  // namespace

bool IsSafeRelativePath(const std::wstring& relativePath) {
    if (relativePath.empty() || IsPathSeparator(relativePath.front())) {
        return false;
    }
    if (relativePath.find(L':') != std::wstring::npos) {
        return false;
    }
    // Every Windows call stops reading a name at U+0000, so "live.pak<U+0000>.download" would be the
    // live file itself. No Windows name can hold one.
    if (relativePath.find(L'\0') != std::wstring::npos) {
        return false;
    }
    // Normalisation cancels every ".." that follows a name; one that is left stands at the start.
    std::wstring normal = LexicallyNormal(relativePath);
    return normal != L".." && normal.compare(0, 3, L"..\\") != 0;
}

bool RemoveObsoleteFile(const std::wstring& installFolder, const std::wstring& relativePath) {
    if (!IsSafeRelativePath(relativePath)) {
        AppendLogLine(L"Refused unsafe obsolete path: " + relativePath);
        return false;
    }
    std::wstring target = LexicallyNormal(JoinPath(installFolder, relativePath));
    TargetKind kind = QueryTarget(target);
    if (kind == TargetKind::Missing) {
        return true;
    }
    if (kind == TargetKind::Unreadable) {
        return false;
    }
    if (QueryTarget(target) != TargetKind::RegularFile) {
        AppendLogLine(L"Refused non-file obsolete path: " + target);
        return false;
    }
    if (!DeleteEntry(target)) {
        AppendLogLine(L"Could not delete obsolete file: " + target);
        return false;
    }
    AppendLogLine(L"Deleted obsolete file: " + target);
    return true;
}
