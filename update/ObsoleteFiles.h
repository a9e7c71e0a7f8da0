#pragma once
#include <string>

// True when a relative path from the server stays inside the installation folder: not rooted,
// no colon, and no ".." left after lexical normalisation.
bool IsSafeRelativePath(const std::wstring& relativePath);
// Removes one obsolete file (read-only too, never a folder); true when it is absent afterwards.
bool RemoveObsoleteFile(const std::wstring& installFolder, const std::wstring& relativePath);
