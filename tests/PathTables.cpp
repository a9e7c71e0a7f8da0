#include <windows.h>

#include <string>

#include "Harness.h"
#include "support/FileSystem.h"
#include "support/Paths.h"
#include "support/Progress.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"
#include "update/InstallFile.h"
#include "update/ObsoleteFiles.h"
#include "update/PathSafety.h"

TEST(Paths, SafetyRule) {
    const std::vector<std::wstring> unsafeThenSafe[] = {
        {L"", L"/etc/passwd", L"\\Windows\\x.dll", L"\\\\server\\share\\x", L"//server/share/x", L"\\\\?\\C:\\x",
         L"C:\\Windows\\x.dll", L"C:x.dll", L"a.txt:stream", L"../x", L"..\\x", L"a/../../x", L"a\\..\\..\\x", L"..",
         std::wstring(L"data/live.pak\0", 14), std::wstring(L"a\0/../../x", 10), L"a/aux.pak", L"nul", L"con", L"aux.txt",
         L"com1", L"conin$", L"CONOUT$", L"COM0", L"LPT0", L"lpt\u00B9", L"COM\u00B2.txt", L"CON .txt", L"Prn. .x.y", L"con/../x.pak"},
        {L"a.txt", L"Content/Maps/harbor.pak", L"Content\\Maps\\x", L"a/..", L"a/../x", L"a/b/../../c", L"./x", L"a//x",
         L"...", L"..a/x", L"a/..b", L"Игра/карта.pak", L"console.txt", L"com10", L"lpt", L"COM\u2074", L"nul_x/aux_y"}};
    for (bool safe : {false, true}) {
        for (const std::wstring& path : unsafeThenSafe[safe]) {
            EXPECT_EQ(IsSafeRelativePath(path), safe) << WideToUtf8(path);
        }
    }
    // The launcher's own files, as Windows resolves a name (letter case, blanks and dots at the end), and
    // folders of their names, which would block them for good.
    const std::vector<std::wstring> ownThenNot[] = {
        {L"launcher-version.txt", L"LAUNCHER-MANIFEST-SERIAL.TXT. ", L"launcher-update.log/x", L"a/../launcher-update-pending.txt",
         L"launcher-versıon.txt", L"OrvaneLauncher.exe", L"orvanelauncher.exe.DOWNLOAD", L"launcher-version.txt.download/y"},
        {L"Content/launcher-version.txt", L"launcher-version.txt.bak", L"launcher-version", L"OrvaneLauncher.exe2",
         L"a.download", L".download", L"launcher-version.txt..download"}};
    for (bool own : {true, false}) {
        for (const std::wstring& path : ownThenNot[!own]) {
            EXPECT_EQ(IsLauncherOwnPath(path), own) << WideToUtf8(path);
        }
    }
}

// Each path with its normalised form, status-line name and parent folder, with root names as Windows knows them.
TEST(Paths, TakenApartAsWindowsDoes) {
    const wchar_t* cases[][2] = {
        {L"a/./b//c", L"a\\b\\c|c|a/./b"}, {L"a/../b", L"b|b|a/.."}, {L"../b", L"..\\b|b|.."}, {L"a/..", L".|..|a"},
        {L"a/b/../../c", L"c|c|a/b/../.."}, {L"C:x", L"C:x|x|C:"}, {L"\\\\?\\C:\\b", L"\\\\?\\C:\\b|b|\\\\?\\C:\\"},
        {L"C:\\x.pak", L"C:\\x.pak|x.pak|C:\\"}, {L"C:\\Games\\a/..", L"C:\\Games\\|..|C:\\Games\\a"},
        {L"C:/Games//Orvane/./x.pak", L"C:\\Games\\Orvane\\x.pak|x.pak|C:/Games//Orvane/."},
        {L"Paks/", L"Paks\\||Paks"}, {L"\\\\nas\\games\\y", L"\\\\nas\\games\\y|y|\\\\nas\\games\\"},
        {L"\\\\nas\\games\\Orvane\\old.pak", L"\\\\nas\\games\\Orvane\\old.pak|old.pak|\\\\nas\\games\\Orvane"},
        {L"//nas/games/x/../y", L"\\\\nas\\games\\y|y|//nas/games/x/.."},
        {L"\\\\?\\C:\\Games\\a\\..\\b", L"\\\\?\\C:\\Games\\b|b|\\\\?\\C:\\Games\\a\\.."},
        {L"\\\\?\\UNC\\nas\\games\\a/./b", L"\\\\?\\UNC\\nas\\games\\a\\b|b|\\\\?\\UNC\\nas\\games\\a/."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LexicallyNormal(c[0]) + L"|" + (c[0] + LastElementStart(c[0])) + L"|" + ParentFolder(c[0]), c[1]);
    }
}

TEST(Progress, Shares) {
    const uint64_t kMax = UINT64_MAX;
    const uint64_t cases[][5] = {  // bytes before, bytes total, entries installed, entries, percent
        {0, 1000, 0, 2, 0},   {300, 1000, 1, 2, 30},   {1000, 1000, 2, 2, 100},        {0, 0, 0, 3, 0},
        {0, 0, 1, 3, 33},     {0, 0, 2, 3, 66},        {kMax - 1, kMax, 1, 2, 99},     {kMax, kMax, 2, 2, 100},
        {kMax / 2, kMax, 0, 1, 49}, {uint64_t(1) << 30, 1, 0, 1, 100}, {kMax, 1, 0, 1, 100},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SessionPercent(c[0], c[1], c[2], c[3]), c[4]) << c[0] << "/" << c[1];
    }
    // The row of 1 << 30 bytes of 1 (a share of exactly 25 << 32) shows the percent is capped before it is narrowed.
    EXPECT_EQ(SharePercent(SaturatingAdd(kMax - 1, 5), 1), kMax) << "held at the largest value, never wrapped";
}

// CreateSymbolicLinkW is a stub under Wine 8 (it returns TRUE and creates nothing), so links cannot
// be made here; on Windows the open without FILE_FLAG_OPEN_REPARSE_POINT follows them.
TEST_F(InFolder, FileFactsFollowTheName) {
    WriteBytes(folder + L"\\file.pak", "12345");
    WriteBytes(folder + L"\\sub\\empty.pak", "");
    HANDLE game = CreateFileW((folder + L"\\file.pak").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    // Found, folder, size and regular file; a file the game holds open is still seen.
    const struct { const wchar_t* name; const char* facts; } cases[] = {
        {L"file.pak", "1 0 5 1"}, {L"sub\\empty.pak", "1 0 0 1"}, {L"sub", "1 1 0 0"}, {L"missing.pak", "0 0 0 0"},
        {L"file.pak\\inner", "0 0 0 0"}, {L"no\\such\\x", "0 0 0 0"}};
    for (const auto& c : cases) {
        FileFacts facts;
        DWORD error = 0;
        bool found = QueryFileFacts(folder + L"\\" + c.name, facts, error);
        EXPECT_EQ(std::to_string(found) + " " + std::to_string(facts.folder) + " " + std::to_string(facts.size) + " " +
                  std::to_string(IsRegularFile(folder + L"\\" + c.name)), c.facts);
        EXPECT_TRUE(found || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
    }
    CloseHandle(game);
}

namespace {

// Runs a Linux program in the folder and waits until link.pak is there (linking) or gone: Wine's handle
// to a Unix process cannot be waited for.
void RunUnixCommand(const std::wstring& folder, std::wstring command, bool linking) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &process));
    for (int wait = 0; wait < 100 && FileExists(folder + L"\\link.pak") != linking; ++wait) {
        Sleep(20);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

}  // namespace

TEST_F(InFolder, ObsoleteFileRemoval) {
    const char* const own[] = {"launcher-version.txt", "launcher-manifest-serial.txt", "launcher-update-pending.txt",
                               "OrvaneLauncher.exe", "launcher-version.txt.download", "unit_tests.exe"};
    for (const char* name : own) {
        WriteBytes(InPath(folder, name), name);
    }
    for (const char* name : {"x.pak", "a/b/y.pak", "a/z.pak", "kept.pak", "held.pak", "Orvane.ini", "mods/link.pak",
                             "c.pak", "c.pak.download", "gone.pak.download"}) {
        WriteBytes(InPath(folder, name), name);
        // All but x.pak read-only, where deleting needs the flag cleared first (Windows before POSIX deletes).
        SetFileAttributesW(InPath(folder, name).c_str(),
                           name[0] == 'x' ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY);
    }
    // A link made on the Linux side, as Linux players have them: Wine cannot make one, but starts Unix programs.
    CreateDirectoryW((folder + L"\\links").c_str(), nullptr);
    // "up" leads back to the game folder, so a path through it reaches the launcher's own files.
    RunUnixCommand(folder + L"\\links", L"Z:\\bin\\sh -c \"ln -s .. up && ln -s ../mods/link.pak link.pak\"", true);
    HANDLE victim = CreateFileW((folder + L"\\mods\\link.pak").c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    wchar_t reached[MAX_PATH] = L"";
    GetFinalPathNameByHandleW(victim, reached, MAX_PATH, 0);
    CloseHandle(victim);
    StartLog(folder);
    const std::wstring zero(L"Orvane.ini\0.old", 15), kDeleted = L"Deleted obsolete file: " + folder + L"\\";
    const std::wstring kNonFile = L"Refused non-file obsolete path: " + folder + L"\\";
    const std::wstring kUnsafe = L"Refused unsafe obsolete path: ";
    // line empty: no log line; gameShares: the game holds the file open with these sharing flags. The path
    // rule has its own table; the unsafe paths here show the refusal is logged as given, before a device
    // (which fails to open without a word) is touched.
    const struct { std::wstring path; bool result; std::wstring line; DWORD gameShares = ~0u; } cases[] = {
        {L"a/../x.pak", true, kDeleted + L"x.pak"}, {L"x.pak", true, L""}, {L"missing/deeper/file.pak", true, L""},
        {L"kept.pak/inner", true, L""}, {L"a//b/./y.pak", true, kDeleted + L"a\\b\\y.pak"},
        {L"a\\z.pak", true, kDeleted + L"a\\z.pak"}, {L"a/b", false, kNonFile + L"a\\b"}, {L"a/..", false, kNonFile},
        {L"../x.pak", false, kUnsafe + L"../x.pak"}, {zero, false, kUnsafe + zero},  // the name before the zero stays
        {L"conin$", false, kUnsafe + L"conin$"}, {L"a/NUL.txt", false, kUnsafe + L"a/NUL.txt"},
        // Wine opens the link's target, whatever the flags say; of the same name, it is still another file.
        {L"links/link.pak", false, L"Refused obsolete path that leads elsewhere: " + folder + L"\\links\\link.pak -> " + reached},
        // A file the game holds open stays without delete sharing (read-only as before) and goes with it.
        {L"kept.pak", false, L"Could not delete obsolete file: " + folder + L"\\kept.pak", FILE_SHARE_READ},
        {L"held.pak", true, kDeleted + L"held.pak", FILE_SHARE_READ | FILE_SHARE_DELETE},
        // What an interrupted download left beside an obsolete file goes with it, or alone when the file is gone.
        {L"c.pak", true, kDeleted + L"c.pak\n" + kDeleted + L"c.pak.download"},
        {L"gone.pak", true, kDeleted + L"gone.pak.download"},
        // The launcher's own files, however named: its records, its log, its program (by the name it has).
        {L"launcher-version.txt", false, kUnsafe + L"launcher-version.txt"},
        {L"LAUNCHER-MANIFEST-SERIAL.TXT. ", false, kUnsafe + L"LAUNCHER-MANIFEST-SERIAL.TXT. "},
        {L"launcher-update-pending.txt", false, kUnsafe + L"launcher-update-pending.txt"},
        {L"launcher-update.log", false, kUnsafe + L"launcher-update.log"},
        {L"OrvaneLauncher.exe", false, kUnsafe + L"OrvaneLauncher.exe"},
        {L"launcher-version.txt.download", false, kUnsafe + L"launcher-version.txt.download"},
        {L"UNIT_TESTS.EXE", false, kUnsafe + L"UNIT_TESTS.EXE"},
        {L"links/up/launcher-manifest-serial.txt", false, kUnsafe + L"links/up/launcher-manifest-serial.txt"},
    };
    std::string log;
    for (const auto& c : cases) {
        HANDLE game = c.gameShares == ~0u ? INVALID_HANDLE_VALUE : CreateFileW((folder + L"\\" + c.path).c_str(),
                                            GENERIC_READ, c.gameShares, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(RemoveObsoleteFile(folder, c.path), c.result) << WideToUtf8(c.path);
        CloseHandle(game);
        log += c.line.empty() ? "" : WideToUtf8(c.line) + "\n";
        EXPECT_EQ(ReadBytes(folder + L"\\launcher-update.log"), log) << WideToUtf8(c.path);
    }
    // Nor does an install reach one by another name: the link back to the game folder is refused unasked.
    PendingUpdate pending{folder, L"2"};
    PutServed("/updates/v/own.pak", "new");
    EXPECT_FALSE(InstallFile(folder, ManifestFile{L"links/up/launcher-version.txt", L"/updates/v/own.pak",
                                                  Utf8ToWide(DigestOf("new")), 3}, 0, 0, nullptr, nullptr, L"", pending));
    EXPECT_EQ(ReadBytes(InPath(folder, "launcher-version.txt")), "launcher-version.txt");
    // Wine would delete the target and keep the link, which then blocks removing the test's folder.
    RunUnixCommand(folder + L"\\links", L"Z:\\bin\\rm up link.pak", false);
    for (const char* name : own) {
        EXPECT_TRUE(FileExists(InPath(folder, name))) << name;
    }
    for (const char* name : {"x.pak", "a/b/y.pak", "a/z.pak", "held.pak", "kept.pak", "Orvane.ini", "mods/link.pak",
                             "c.pak.download", "gone.pak.download"}) {
        EXPECT_EQ(FileExists(InPath(folder, name)), std::string("kOm").find(name[0]) != std::string::npos) << name;
    }
    EXPECT_NE(GetFileAttributesW((folder + L"\\kept.pak").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}
