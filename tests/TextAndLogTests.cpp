#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "TestFiles.h"
#include "support/Paths.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"

TEST(TextEncoding, ConversionTable) {
    struct Case {
        const char* name;
        std::string utf8;
        std::wstring wide;
    } cases[] = {
        {"empty", "", L""},
        {"ascii", "1.4.0", L"1.4.0"},
        {"cyrillic two bytes a letter", "\xD0\x98\xD0\xB3\xD1\x80\xD0\xB0", L"Игра"},
        {"embedded zero byte", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
        {"outside the basic plane", "\xF0\x9F\x8E\xAE", L"\U0001F3AE"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToWide(c.utf8), c.wide) << c.name;
        EXPECT_EQ(WideToUtf8(c.wide), c.utf8) << c.name;
    }
}

TEST(TextEncoding, InvalidInputIsStrictOrReplaced) {
    const std::string invalid[] = {"\xC3\x28", "abc\xD0", "\xFF", "\xED\xA0\x80" /* encoded surrogate */,
                                   "\xC0\xAF" /* overlong slash */};
    for (const std::string& bytes : invalid) {
        EXPECT_EQ(Utf8ToWide(bytes), L"") << "no partial result for invalid UTF-8";
    }
    EXPECT_EQ(WideToUtf8(std::wstring(1, wchar_t(0xD800))), "\xEF\xBF\xBD");
    EXPECT_EQ(WideToUtf8(L"a" + std::wstring(1, wchar_t(0xDC00)) + L"b"), "a\xEF\xBF\xBD" "b");
}

TEST(PathJoin, OneSeparatorBetween) {
    EXPECT_EQ(JoinPath(L"C:\\Games\\Orvane", L"a.txt"), L"C:\\Games\\Orvane\\a.txt");
    EXPECT_EQ(JoinPath(L"C:\\", L"a.txt"), L"C:\\a.txt");
    EXPECT_EQ(JoinPath(L"C:/Games/", L"a/b.txt"), L"C:/Games/a/b.txt");
    EXPECT_EQ(JoinPath(L"", L"a.txt"), L"a.txt");
}

TEST(UpdateLog, SessionsStartEmptyAndLinesAreUtf8) {
    std::wstring folder = MakeTestFolder();
    std::wstring logFile = folder + L"\\launcher-update.log";
    WriteBytes(logFile, "line of an earlier session\n");

    StartLog(folder);
    EXPECT_TRUE(FileExists(logFile));
    EXPECT_EQ(ReadBytes(logFile), "") << "a new session empties the log";
    AppendLogLine(L"Orvane update session started.");
    AppendLogLine(L"Deleted obsolete file: " + folder + L"\\Карта.pak");
    AppendLogLine(std::wstring(1, wchar_t(0xD800)));
    AppendLogLine(L"");
    std::string expected = "Orvane update session started.\nDeleted obsolete file: " + WideToUtf8(folder) +
                           "\\\xD0\x9A\xD0\xB0\xD1\x80\xD1\x82\xD0\xB0.pak\n\xEF\xBF\xBD\n\n";
    EXPECT_EQ(ReadBytes(logFile), expected);

    // Another program reading (or writing) the log meanwhile does not make lines disappear.
    HANDLE reader = CreateFileW(logFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    AppendLogLine(L"while read");
    CloseHandle(reader);
    EXPECT_EQ(ReadBytes(logFile), expected + "while read\n");

    // A log locked by someone else silently loses lines; nothing breaks.
    HANDLE locker = CreateFileW(logFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locker, INVALID_HANDLE_VALUE);
    AppendLogLine(L"lost");
    StartLog(folder);
    CloseHandle(locker);
    EXPECT_EQ(ReadBytes(logFile), expected + "while read\n");

    StartLog(folder);
    AppendLogLine(L"second session");
    EXPECT_EQ(ReadBytes(logFile), "second session\n");
    RemoveTestFolder(folder);
}

TEST(UpdateLog, EmptyFolderLogsToCurrentDirectory) {
    std::wstring folder = MakeTestFolder();
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
    StartLog(L"");
    AppendLogLine(L"Orvane update session started.");
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(ReadBytes(folder + L"\\launcher-update.log"), "Orvane update session started.\n");
    RemoveTestFolder(folder);
}

// CTest runs every test in a process of its own, so no StartLog has happened here yet.
TEST(UpdateLog, NothingIsWrittenBeforeStart) {
    std::wstring folder = MakeTestFolder();
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
    AppendLogLine(L"too early");
    SetCurrentDirectoryW(previous);
    EXPECT_FALSE(FileExists(folder + L"\\launcher-update.log"));
    RemoveTestFolder(folder);
}
