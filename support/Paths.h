#pragma once
#include <string>

// Windows paths taken apart as Windows does, root names included: "C:", "\\server\share",
// "\\?\C:" and "\\?\UNC\server\share". The standard library on mingw knows only drive letters.

// True for both separators Windows accepts.
bool IsPathSeparator(wchar_t c);
// folder + name with one backslash between them unless the folder already ends with a separator;
// an empty folder gives the bare name, which the system resolves against the current directory.
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);
// Length of the root name: "C:", "\\server\share", "\\?\C:", "\\?\UNC\server\share"; 0 for none.
size_t RootNameLength(const std::wstring& path);
// True for "\\?\" and "\\.\" paths, which Windows passes on literally: no separator or dot is resolved.
bool IsLiteralPath(const std::wstring& path);
// Where the last element begins: after the last separator, never inside the root name.
size_t LastElementStart(const std::wstring& path);
// The path without its last element and the separators before it; never cuts into the root name
// and the separators that follow it ("C:\", "\\server\share\").
std::wstring ParentFolder(const std::wstring& path);
// Purely textual clean-up: backslashes only, no "." elements, "x\.." pairs cancelled, ".." after a
// root dropped; "a/./b//c" gives "a\b\c", "a/.." gives ".".
std::wstring LexicallyNormal(const std::wstring& path);
