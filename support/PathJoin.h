#pragma once
#include <string>

// True for both separators Windows accepts.
bool IsPathSeparator(wchar_t c);
// folder + name with one backslash between them unless the folder already ends with a separator;
// an empty folder gives the bare name, which the system resolves against the current directory.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);
// Where the last element begins: after the last separator, never inside the root name ("C:").
size_t LastElementStart(const std::wstring& path);
