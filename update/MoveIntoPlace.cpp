#include "update/MoveIntoPlace.h"

#include <windows.h>

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
