#include "update/MoveIntoPlace.h"

#include <windows.h>

#include "support/FileHandle.h"

bool MoveIntoPlace(const std::wstring& temporaryPath, const std::wstring& targetPath) {
    DWORD attributes = GetFileAttributesW(targetPath.c_str());
    bool clearedReadOnly = false;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        clearedReadOnly = SetFileAttributesW(targetPath.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY) != 0;
    }
    if (MoveFileExW(temporaryPath.c_str(), targetPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
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
