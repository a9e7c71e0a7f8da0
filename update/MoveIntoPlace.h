#pragma once
#include <string>

// Replaces target with the complete temporary file in one step (MoveFileExW, replace + write-through).
// A read-only target is made writable first: Windows refuses to replace it otherwise.
bool MoveIntoPlace(const std::wstring& temporaryPath, const std::wstring& targetPath);
