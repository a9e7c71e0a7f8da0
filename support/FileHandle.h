#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

// A Windows file handle closed on every path out of the scope that owns it; empty (null) when the
// open failed, never INVALID_HANDLE_VALUE, which the deleter would take for a real handle.
using FileHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, decltype(&CloseHandle)>;

// CreateFileW into an owning handle, empty on failure. error receives GetLastError() of the open
// itself (0 on success), before any cleanup or log line can overwrite it.
FileHandle OpenFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                    DWORD& error);
