#pragma once
// The strict UTF-8 steps that Utf8ToWide and WideToUtf8 are made of, for the publisher's work on many
// names at once without a wide copy of each.
#include <string>

// Decodes the code point at utf8[i] and moves i past it; false at bytes Utf8ToWide refuses.
bool NextCodePoint(const std::string& utf8, size_t& i, char32_t& code);
// Appends the code point as WideToUtf8 writes it (a surrogate or a value above U+10FFFF as U+FFFD).
void AppendUtf8(std::string& utf8, char32_t code);
