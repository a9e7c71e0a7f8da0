#include "support/FileHandle.h"

FileHandle OpenFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                    DWORD& error) {
    HANDLE raw = CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    error = raw == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return FileHandle(raw == INVALID_HANDLE_VALUE ? nullptr : raw, &CloseHandle);
}
