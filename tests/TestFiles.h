#pragma once
#include <string>

// A fresh folder under the temp folder whose name holds Cyrillic letters and a blank, so every
// test also proves that non-ASCII installation folders work.
std::wstring MakeTestFolder();
// Removes the folder and everything in it, read-only files included.
void RemoveTestFolder(const std::wstring& folder);
void WriteBytes(const std::wstring& path, const std::string& bytes);
// Empty when the file cannot be read; use FileExists to tell the two apart.
std::string ReadBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
