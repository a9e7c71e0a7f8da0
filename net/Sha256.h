#pragma once
#include <string>

// SHA-256 of the whole file as 64 lower-case hex digits; empty when the file or CNG fails.
std::wstring Sha256OfFile(const std::wstring& path);
// SHA-256 of the bytes, as 32 raw bytes; false when CNG fails.
bool Sha256OfBytes(const std::string& bytes, std::string& digest);
// SHA-256 of the bytes as 64 lower-case hex digits; empty when CNG fails.
std::wstring Sha256HexOfBytes(const std::string& bytes);
