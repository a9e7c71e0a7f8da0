#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

// What a name leads to once Windows has followed its symbolic links and junctions.
struct FileFacts {
    bool folder = false;
    uint64_t size = 0;
};

// Opens the name as programs do (following links, unlike msvcrt's stat) and reads its facts; false
// when that fails, with error set to GetLastError() of the failing call.
bool QueryFileFacts(const std::wstring& path, FileFacts& facts, DWORD& error);
// True when the name leads to an existing file that is not a folder; a failed query counts as no.
bool IsRegularFile(const std::wstring& path);
// Creates the folder and every missing folder above it, below its root; true when it exists as a folder.
bool CreateFolderTree(const std::wstring& folder);
