#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "TestFiles.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"
#include "update/ObsoleteFiles.h"

namespace {

std::string LogOf(const std::wstring& folder) {
    return ReadBytes(folder + L"\\launcher-update.log");
}

}  // namespace

TEST(PathSafety, RuleTable) {
    const struct {
        const wchar_t* path;
        bool safe;
    } cases[] = {
        {L"", false},
        {L"a.txt", true},
        {L"Content/Maps/harbor.pak", true},
        {L"Content\\Maps\\harbor.pak", true},
        {L"/etc/passwd", false},
        {L"\\Windows\\x.dll", false},
        {L"\\\\server\\share\\x", false},
        {L"//server/share/x", false},
        {L"\\\\?\\C:\\x", false},
        {L"C:\\Windows\\x.dll", false},
        {L"C:x.dll", false},
        {L"a.txt:stream", false},
        {L"../x", false},
        {L"..\\x", false},
        {L"a/../../x", false},
        {L"a\\..\\..\\x", false},
        {L"..", false},
        {L"a/..", true},
        {L"a/../x", true},
        {L"a/b/../../c", true},
        {L"./x", true},
        {L"a//x", true},
        {L"...", true},
        {L"..a/x", true},
        {L"a/..b", true},
        {L"Игра/карта.pak", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsSafeRelativePath(c.path), c.safe) << WideToUtf8(c.path);
    }
}

// Removal paths are normalised with libstdc++'s lexically_normal; on mingw it must give what Windows
// paths look like, backslashes only.
TEST(PathSafety, NormalisationGivesBackslashes) {
    const struct {
        const wchar_t* path;
        const wchar_t* normal;
    } cases[] = {
        {L"a/./b//c", L"a\\b\\c"}, {L"a/../b", L"b"},          {L"a/b/../../c", L"c"},
        {L"../b", L"..\\b"},        {L"a/..", L"."},            {L"C:/Games//Orvane/./x", L"C:\\Games\\Orvane\\x"},
        {L"C:\\Games\\a/..", L"C:\\Games\\"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::filesystem::path(c.path).lexically_normal().wstring(), c.normal) << WideToUtf8(c.path);
    }
}

TEST(ObsoleteFiles, RemovesFilesAndLogsNormalisedTargets) {
    std::wstring folder = MakeTestFolder();
    std::filesystem::create_directories(folder + L"\\a\\b");
    WriteBytes(folder + L"\\x.pak", "1");
    WriteBytes(folder + L"\\a\\b\\y.pak", "2");
    WriteBytes(folder + L"\\a\\z.pak", "3");
    WriteBytes(folder + L"\\kept.pak", "5");
    WriteBytes(folder + L"\\readonly.pak", "4");
    ASSERT_TRUE(SetFileAttributesW((folder + L"\\readonly.pak").c_str(), FILE_ATTRIBUTE_READONLY));
    StartLog(folder);

    const struct {
        const wchar_t* path;
        bool result;
        std::wstring line;  // empty: no log line
    } cases[] = {
        {L"a/../x.pak", true, L"Deleted obsolete file: " + folder + L"\\x.pak"},
        {L"x.pak", true, L""},
        {L"missing/deeper/file.pak", true, L""},
        {L"kept.pak/inner", true, L""},
        {L"a//b/./y.pak", true, L"Deleted obsolete file: " + folder + L"\\a\\b\\y.pak"},
        {L"a\\z.pak", true, L"Deleted obsolete file: " + folder + L"\\a\\z.pak"},
        {L"readonly.pak", true, L"Deleted obsolete file: " + folder + L"\\readonly.pak"},
        {L"a/b", false, L"Refused non-file obsolete path: " + folder + L"\\a\\b"},
        {L"a/..", false, L"Refused non-file obsolete path: " + folder + L"\\"},
        {L"../x.pak", false, L"Refused unsafe obsolete path: ../x.pak"},
        {L"", false, L"Refused unsafe obsolete path: "},
        {L"C:/x.pak", false, L"Refused unsafe obsolete path: C:/x.pak"},
    };
    std::string expected;
    for (const auto& c : cases) {
        EXPECT_EQ(RemoveObsoleteFile(folder, c.path), c.result) << WideToUtf8(c.path);
        if (!c.line.empty()) {
            expected += WideToUtf8(c.line) + "\n";
        }
        EXPECT_EQ(LogOf(folder), expected) << WideToUtf8(c.path);
    }
    EXPECT_FALSE(FileExists(folder + L"\\x.pak"));
    EXPECT_FALSE(FileExists(folder + L"\\a\\b\\y.pak"));
    EXPECT_FALSE(FileExists(folder + L"\\readonly.pak"));
    EXPECT_TRUE(std::filesystem::is_directory(folder + L"\\a\\b")) << "emptied folders stay";
    RemoveTestFolder(folder);
}

TEST(ObsoleteFiles, FileHeldOpenWithoutDeleteSharing) {
    std::wstring folder = MakeTestFolder();
    std::wstring game = folder + L"\\Игра.pak";
    WriteBytes(game, "running");
    StartLog(folder);
    HANDLE holder = CreateFileW(game.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(RemoveObsoleteFile(folder, L"Игра.pak"));
    CloseHandle(holder);
    EXPECT_TRUE(FileExists(game));
    EXPECT_EQ(LogOf(folder), "Could not delete obsolete file: " + WideToUtf8(game) + "\n");

    // A read-only file that cannot be deleted keeps its read-only attribute.
    ASSERT_TRUE(SetFileAttributesW(game.c_str(), FILE_ATTRIBUTE_READONLY));
    holder = CreateFileW(game.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(RemoveObsoleteFile(folder, L"Игра.pak"));
    CloseHandle(holder);
    EXPECT_TRUE(GetFileAttributesW(game.c_str()) & FILE_ATTRIBUTE_READONLY);

    // Held open with delete sharing: the name goes away.
    SetFileAttributesW(game.c_str(), FILE_ATTRIBUTE_NORMAL);
    holder = CreateFileW(game.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(RemoveObsoleteFile(folder, L"Игра.pak"));
    CloseHandle(holder);
    EXPECT_FALSE(FileExists(game));
    RemoveTestFolder(folder);
}
