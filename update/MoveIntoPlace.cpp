#include "update/MoveIntoPlace.h"

#include <windows.h>

#include "support/FileHandle.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"

namespace {

constexpr DWORD kBusyRetryMs = 500;
constexpr DWORD kBusyWaitMs = 10000;

}  // namespace

bool MoveIntoPlace(const std::wstring& temporaryPath, const std::wstring& targetPath) {
    DWORD attributes = GetFileAttributesW(targetPath.c_str());
    bool clearedReadOnly = false;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        clearedReadOnly = SetFileAttributesW(targetPath.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) != 0;
    }
    // Another program may hold the target for a moment (an antivirus scans every new file); a folder
    // in its place never becomes a file, and any other error is not a hold.
    bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    for (DWORD waited = 0;; waited += kBusyRetryMs) {
        if (MoveFileExW(temporaryPath.c_str(), targetPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        DWORD error = GetLastError();
        if (folder || waited >= kBusyWaitMs ||
            (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION && error != ERROR_ACCESS_DENIED)) {
            SetLastError(error);
            break;
        }
        if (waited == 0) {
            AppendLogLine(L"Target busy; retrying the replace every 500 ms for up to 10 s: " + DecimalText(error));
        }
        Sleep(kBusyRetryMs);
    }
    // The old file stays; give it back the attribute its owner chose.
    if (clearedReadOnly) {
        DWORD error = GetLastError();
        SetFileAttributesW(targetPath.c_str(), attributes);
        SetLastError(error);
    }
    return false;
}

bool ReplaceWholeFile(const std::wstring& targetPath, const std::string& bytes) {
    std::wstring temporaryPath = targetPath + L".download";
    DWORD error = 0;
    FileHandle file = OpenFile(temporaryPath, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, error);
    if (!file) {
        return false;
    }
    DWORD written = 0;
    // A short write (disk full) must not replace a good file with a truncated one, and the flush keeps
    // a power cut after the move from leaving an empty file under the real name.
    bool complete = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size() && FlushFileBuffers(file.get());
    file.reset();
    return complete && MoveIntoPlace(temporaryPath, targetPath);
}
