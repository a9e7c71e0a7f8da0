#pragma once
#include <string>

// Replaces target with the complete temporary file in one step (MoveFileExW, replace + write-through).
// A read-only target is made writable first: Windows refuses to replace it otherwise. A target held
// by another program (sharing or lock violation, access denied) is tried again every 500 ms for 10 s.
bool MoveIntoPlace(const std::wstring& temporaryPath, const std::wstring& targetPath);
// Writes the bytes to "<target>.download", flushes them to disk and moves that over the target: the
// target holds the old bytes or the new ones, whole, whenever the process or the power stops.
bool ReplaceWholeFile(const std::wstring& targetPath, const std::string& bytes);
