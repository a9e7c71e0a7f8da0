#pragma once
#include <string>

// SHA-256 of the whole file as 64 lower-case hex digits; empty when the file or CNG fails.
std::wstring Sha256OfFile(const std::wstring& path);
