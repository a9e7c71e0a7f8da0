#pragma once
#include <string>

// Removes one obsolete file (read-only too, never a folder); true when it is absent afterwards.
bool RemoveObsoleteFile(const std::wstring& installFolder, const std::wstring& relativePath);
