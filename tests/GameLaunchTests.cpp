#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "TestFiles.h"
#include "launcher/GameLaunch.h"
#include "support/TextEncoding.h"

namespace {

std::wstring TestProgramFolder() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    return path.substr(0, path.find_last_of(L"\\/"));
}

// Runs launch_probe.exe from the folder, as a player's launcher there would run; returns its output.
std::string RunLauncherIn(const std::wstring& folder) {
    std::filesystem::copy_file(TestProgramFolder() + L"\\launch_probe.exe", folder + L"\\OrvaneLauncher.exe",
                               std::filesystem::copy_options::overwrite_existing);
    std::wstring output = folder + L"\\probe-output.txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process{};
    std::wstring commandLine = L"\"" + folder + L"\\OrvaneLauncher.exe\"";
    // Started from elsewhere, so the game's current folder can only come from the launcher.
    BOOL created = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  TestProgramFolder().c_str(), &startup, &process);
    CloseHandle(out);
    if (!created) {
        return "could not start the probe";
    }
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ReadBytes(output);
}

std::string WaitForGameRecord(const std::wstring& folder) {
    for (int i = 0; i < 200 && !FileExists(folder + L"\\game-run.txt"); ++i) {
        Sleep(50);
    }
    Sleep(100);
    return ReadBytes(folder + L"\\game-run.txt");
}

}  // namespace

TEST(GameLaunch, CommandLineForAwkwardFolders) {
    for (const wchar_t* name : {L"Program Files (x86)\\Orvane Game", L"Игры\\Орвейн", L"plain"}) {
        std::wstring root = MakeTestFolder();
        std::wstring folder = root + L"\\" + name;
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(TestProgramFolder() + L"\\test_game.exe", folder + L"\\Orvane.exe");
        EXPECT_EQ(RunLauncherIn(folder), "started") << WideToUtf8(folder);
        std::string expected = "\"" + WideToUtf8(folder) +
                               "\\Orvane.exe\" 192.0.2.10:7777 "
                               "-ini:Game:[/Script/Orvane.OrvaneAccountSubsystem]:ApiBaseUrl=https://localhost\n" +
                               WideToUtf8(folder) + "\n";
        EXPECT_EQ(WaitForGameRecord(folder), expected);
        RemoveTestFolder(root);
    }
}

TEST(GameLaunch, FailuresAreExplainedToThePlayer) {
    std::wstring folder = MakeTestFolder();
    EXPECT_EQ(RunLauncherIn(folder), "Orvane.exe не найден рядом с лаунчером. Поместите лаунчер в папку игры.");

    // A folder of that name passes the existence test and then cannot be started.
    std::filesystem::create_directory(folder + L"\\Orvane.exe");
    std::string output = RunLauncherIn(folder);
    const std::string prefix = "Не удалось запустить игру: ";
    ASSERT_EQ(output.compare(0, prefix.size(), prefix), 0) << output;
    EXPECT_GT(output.size(), prefix.size()) << "the system's text follows";
    RemoveTestFolder(folder);
}

TEST(GameLaunch, ErrorTexts) {
    EXPECT_EQ(WindowsErrorText(0x2000BEEF), L"Неизвестная ошибка Windows");
    std::wstring known = WindowsErrorText(ERROR_FILE_NOT_FOUND);
    ASSERT_GE(known.size(), 2u);
    EXPECT_EQ(known.substr(known.size() - 2), L"\r\n") << "the system's line break stays";
}

TEST(GameLaunch, LauncherFolderHasNoTrailingSeparator) {
    std::wstring folder = GetLauncherFolder();
    EXPECT_EQ(folder, TestProgramFolder());
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), L'\\');
}
