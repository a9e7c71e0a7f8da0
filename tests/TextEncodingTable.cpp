// One table for both codecs: the launcher's (Windows) and the publisher's (Linux), which must agree
// byte for byte, since the publisher checks its manifests with the launcher's scanner through it.
#include <gtest/gtest.h>

#include <string>

#include "support/TextEncoding.h"

TEST(TextEncoding, Table) {
    // roundTrip false: the wide text is what the bytes turn into one way only.
    const struct { const char* name; std::string utf8; std::wstring wide; bool roundTrip; } cases[] = {
        {"empty", "", L"", true}, {"ascii", "1.4.0", L"1.4.0", true},
        {"cyrillic, two bytes a letter", "\xD0\x98\xD0\xB3\xD1\x80\xD0\xB0", L"Игра", true},
        {"embedded zero byte", std::string("a\0b", 3), std::wstring(L"a\0b", 3), true},
        {"outside the basic plane", "\xF0\x9F\x8E\xAE", L"\U0001F3AE", true},
        {"invalid sequence", "\xC3\x28", L"", false}, {"truncated sequence", "abc\xD0", L"", false},
        {"encoded surrogate", "\xED\xA0\x80", L"", false}, {"overlong slash", "\xC0\xAF", L"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.utf8), c.wide) << c.name;
        EXPECT_EQ(c.roundTrip ? WideToUtf8(c.wide) : c.utf8, c.utf8) << c.name << ", back";
    }
    // Lone surrogates, high and low, are replaced.
    EXPECT_EQ(WideToUtf8({wchar_t(0xD800), L'a', wchar_t(0xDC00), L'b'}), "\xEF\xBF\xBD" "a\xEF\xBF\xBD" "b");
}
