#pragma once
#include <string>

// First line of launcher-version.txt as stored (a carriage return stays); "0.0.1" when unreadable or empty.
std::wstring ReadInstalledVersion(const std::wstring& installFolder);
// Writes the version and a line feed to a temporary file, flushes it and moves it over launcher-version.txt.
bool WriteInstalledVersion(const std::wstring& installFolder, const std::wstring& version);
