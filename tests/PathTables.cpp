#include <windows.h>

#include <string>

#include "Harness.h"
#include "support/FileSystem.h"
#include "support/Paths.h"
#include "support/Progress.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"
#include "update/ObsoleteFiles.h"

TEST(Paths, SafetyRule) {
    const struct {
        std::wstring path;
        bool safe;
    } cases[] = {
        {L"", false},           {L"a.txt", true},           {L"Content/Maps/harbor.pak", true},
        {L"Content\\Maps\\x", true}, {L"/etc/passwd", false},  {L"\\Windows\\x.dll", false},
        {L"\\\\server\\share\\x", false}, {L"//server/share/x", false}, {L"\\\\?\\C:\\x", false},
        {L"C:\\Windows\\x.dll", false}, {L"C:x.dll", false},   {L"a.txt:stream", false},
        {L"../x", false},       {L"..\\x", false},          {L"a/../../x", false},
        {L"a\\..\\..\\x", false}, {L"..", false},           {L"a/..", true},
        {L"a/../x", true},      {L"a/b/../../c", true},     {L"./x", true},
        {L"a//x", true},        {L"...", true},             {L"..a/x", true},
        {L"a/..b", true},       {L"Игра/карта.pak", true},
        {std::wstring(L"data/live.pak\0", 14), false},      {std::wstring(L"a\0/../../x", 10), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsSafeRelativePath(c.path), c.safe) << WideToUtf8(c.path);
    }
}

// Normalised form, status-line name and parent folder; root names as Windows knows them.
TEST(Paths, TakenApartAsWindowsDoes) {
    const struct {
        const wchar_t* path;
        const wchar_t* normal;
        const wchar_t* name;
        const wchar_t* parent;
    } cases[] = {
        {L"a/./b//c", L"a\\b\\c", L"c", L"a/./b"},
        {L"a/../b", L"b", L"b", L"a/.."},
        {L"a/b/../../c", L"c", L"c", L"a/b/../.."},
        {L"../b", L"..\\b", L"b", L".."},
        {L"a/..", L".", L"..", L"a"},
        {L"C:\\Games\\a/..", L"C:\\Games\\", L"..", L"C:\\Games\\a"},
        {L"C:/Games//Orvane/./x.pak", L"C:\\Games\\Orvane\\x.pak", L"x.pak", L"C:/Games//Orvane/."},
        {L"C:\\x.pak", L"C:\\x.pak", L"x.pak", L"C:\\"},
        {L"C:x.pak", L"C:x.pak", L"x.pak", L"C:"},
        {L"\\\\nas\\games\\Orvane\\old.pak", L"\\\\nas\\games\\Orvane\\old.pak", L"old.pak", L"\\\\nas\\games\\Orvane"},
        {L"//nas/games/x/../y", L"\\\\nas\\games\\y", L"y", L"//nas/games/x/.."},
        {L"\\\\nas\\games\\y", L"\\\\nas\\games\\y", L"y", L"\\\\nas\\games\\"},
        {L"\\\\?\\C:\\Games\\a\\..\\b", L"\\\\?\\C:\\Games\\b", L"b", L"\\\\?\\C:\\Games\\a\\.."},
        {L"\\\\?\\C:\\b", L"\\\\?\\C:\\b", L"b", L"\\\\?\\C:\\"},
        {L"\\\\?\\UNC\\nas\\games\\a/./b", L"\\\\?\\UNC\\nas\\games\\a\\b", L"b", L"\\\\?\\UNC\\nas\\games\\a/."},
        {L"Content/Paks/", L"Content\\Paks\\", L"", L"Content/Paks"},
    };
    for (const auto& c : cases) {
        std::wstring path = c.path;
        EXPECT_EQ(LexicallyNormal(path), c.normal) << WideToUtf8(path);
        EXPECT_EQ(path.substr(LastElementStart(path)), c.name) << WideToUtf8(path);
        EXPECT_EQ(ParentFolder(path), c.parent) << WideToUtf8(path);
    }
}

TEST(Progress, Shares) {
    const uint64_t kMax = UINT64_MAX;
    const struct {
        uint64_t bytesBefore, bytesTotal, installed, count;
        uint32_t percent;
    } cases[] = {
        {0, 1000, 0, 2, 0},        {300, 1000, 1, 2, 30},          {1000, 1000, 2, 2, 100},
        {0, 0, 0, 3, 0},           {0, 0, 1, 3, 33},               {0, 0, 2, 3, 66},
        {kMax - 1, kMax, 1, 2, 99}, {kMax, kMax, 2, 2, 100},       {kMax / 2, kMax, 0, 1, 49},
        {uint64_t(1) << 30, 1, 0, 1, 100},                        {kMax, 1, 0, 1, 100},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SessionPercent(c.bytesBefore, c.bytesTotal, c.installed, c.count), c.percent)
            << c.bytesBefore << "/" << c.bytesTotal;
    }
    EXPECT_EQ(SharePercent(kMax, 1), kMax) << "held at the largest value, never wrapped to a small one";
    EXPECT_EQ(CappedPercent(uint64_t(1) << 32), 100u) << "capped before it is narrowed";
    EXPECT_EQ(SaturatingAdd(kMax - 1, 5), kMax);
}

// CreateSymbolicLinkW is a stub under Wine 8 (it returns TRUE and creates nothing), so links
// cannot be made here; on Windows the open without FILE_FLAG_OPEN_REPARSE_POINT follows them.
TEST_F(InFolder, FileFactsFollowTheName) {
    WriteBytes(folder + L"\\file.pak", "12345");
    WriteBytes(folder + L"\\sub\\empty.pak", "");
    const struct {
        const wchar_t* name;
        bool found;
        bool isFolder;
        uint64_t size;
    } cases[] = {
        {L"file.pak", true, false, 5}, {L"sub\\empty.pak", true, false, 0}, {L"sub", true, true, 0},
        {L"missing.pak", false, false, 0}, {L"file.pak\\inner", false, false, 0}, {L"no\\such\\x", false, false, 0},
    };
    for (const auto& c : cases) {
        FileFacts facts;
        DWORD error = 0;
        EXPECT_EQ(QueryFileFacts(folder + L"\\" + c.name, facts, error), c.found) << WideToUtf8(c.name);
        EXPECT_EQ(facts.folder, c.isFolder) << WideToUtf8(c.name);
        EXPECT_EQ(facts.size, c.size) << WideToUtf8(c.name);
        EXPECT_EQ(IsRegularFile(folder + L"\\" + c.name), c.found && !c.isFolder) << WideToUtf8(c.name);
        if (!c.found) {
            EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
        }
    }
    HANDLE game = CreateFileW((folder + L"\\file.pak").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_TRUE(IsRegularFile(folder + L"\\file.pak")) << "a file the game holds open is still seen";
    CloseHandle(game);
}

TEST_F(InFolder, ObsoleteFileRemoval) {
    for (const char* name : {"x.pak", "a/b/y.pak", "a/z.pak", "kept.pak", "readonly.pak", "Orvane.ini"}) {
        WriteBytes(InPath(folder, name), name);
    }
    ASSERT_TRUE(SetFileAttributesW((folder + L"\\readonly.pak").c_str(), FILE_ATTRIBUTE_READONLY));
    StartLog(folder);
    const struct {
        std::wstring path;
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
        {std::wstring(L"Orvane.ini\0.old", 15), false, L"Refused unsafe obsolete path: " + std::wstring(L"Orvane.ini\0.old", 15)},
    };
    std::string log;
    for (const auto& c : cases) {
        EXPECT_EQ(RemoveObsoleteFile(folder, c.path), c.result) << WideToUtf8(c.path);
        log += c.line.empty() ? "" : WideToUtf8(c.line) + "\n";
        EXPECT_EQ(ReadBytes(folder + L"\\launcher-update.log"), log) << WideToUtf8(c.path);
    }
    for (const char* gone : {"x.pak", "a/b/y.pak", "a/z.pak", "readonly.pak"}) {
        EXPECT_FALSE(FileExists(InPath(folder, gone))) << gone;
    }
    EXPECT_EQ(ReadBytes(folder + L"\\Orvane.ini"), "Orvane.ini") << "the name before the zero byte is kept";
    EXPECT_TRUE(IsRegularFile(folder + L"\\kept.pak"));

    // Held open by the game: without delete sharing it stays (read-only attribute too), with it the name goes.
    std::wstring game = folder + L"\\kept.pak";
    ASSERT_TRUE(SetFileAttributesW(game.c_str(), FILE_ATTRIBUTE_READONLY));
    for (DWORD share : {DWORD(FILE_SHARE_READ), DWORD(FILE_SHARE_READ | FILE_SHARE_DELETE)}) {
        StartLog(folder);
        HANDLE holder = CreateFileW(game.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        bool removed = RemoveObsoleteFile(folder, L"kept.pak");
        CloseHandle(holder);
        EXPECT_EQ(removed, (share & FILE_SHARE_DELETE) != 0);
        EXPECT_EQ(FileExists(game), !removed);
        EXPECT_EQ(LogLines(folder), std::vector<std::string>{(removed ? "Deleted obsolete file: " : "Could not delete obsolete file: ") + WideToUtf8(game)});
        EXPECT_TRUE(removed || (GetFileAttributesW(game.c_str()) & FILE_ATTRIBUTE_READONLY));
    }
}
