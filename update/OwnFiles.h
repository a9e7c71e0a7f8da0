#pragma once
#include <windows.h>

#include <string>

// The launcher's own files beside the game (its records, its log, its program and their downloads)
// are out of reach of every manifest, however a name spells or reaches them.

// Where the open handle leads once every link is resolved; empty when Windows cannot say.
std::wstring FinalPath(HANDLE handle);
// True when the relative path names one of the launcher's own files: by the shared rule, or by the
// name the running program has (blanks and dots at the end dropped, as Windows drops them).
bool IsLauncherFile(const std::wstring& relativePath);
// True when a handle that reached this final path leads to one of them in the game folder: by a short
// 8.3 name, through a link back to the game folder, by a lookalike Windows folds into one.
bool ReachesOwnFile(const std::wstring& installFolder, const std::wstring& reached);
// True when the path exists and leads to one of them (false when it does not exist); `exists` says
// whether it could be opened, so a caller need not look for a missing file twice.
bool LeadsToOwnFile(const std::wstring& installFolder, const std::wstring& path, bool& exists);
