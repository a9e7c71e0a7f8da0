#pragma once
#include <string>

// Strict: bytes that are not valid UTF-8 give an empty text, never a partial one.
std::wstring Utf8ToWide(const std::string& utf8);
// An unpaired surrogate becomes U+FFFD rather than failing the conversion.
std::string WideToUtf8(const std::wstring& wide);
// Unsigned decimal without sign, padding or grouping, as every log line writes numbers.
std::wstring DecimalText(unsigned long long value);
