#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "ServerFiles.h"
#include "TestFiles.h"
#include "support/TextEncoding.h"
#include "update/UpdateSession.h"

// Linked to talk to 127.0.0.3, where nothing listens: the player has no server at all.
TEST(NoServer, VerdictsWithoutNetwork) {
    for (bool installed : {false, true}) {
        std::wstring folder = MakeTestFolder();
        if (installed) {
            WriteBytes(folder + L"\\Orvane.exe", "MZ");
            WriteBytes(folder + L"\\launcher-version.txt", "1.0\n");
        }
        UpdateVerdict verdict = RunUpdateSession(folder, nullptr, nullptr);
        EXPECT_EQ(WideToUtf8(verdict.message),
                  installed ? "Не удалось проверить обновления. Можно запустить установленную версию."
                            : "Не удалось получить файлы первой установки. Проверьте интернет и повторите запуск.");
        EXPECT_EQ(verdict.canPlay, installed);
        std::vector<std::string> log = LogLines(folder);
        ASSERT_EQ(log.size(), 3u);
        EXPECT_EQ(log[1], installed ? "Opening HTTPS request: /updates/latest.json"
                                    : "Opening HTTPS request: /updates/full.json");
        EXPECT_EQ(log[2], "Send/receive response failed: 12029") << "ERROR_WINHTTP_CANNOT_CONNECT";
        EXPECT_EQ(ReadBytes(folder + L"\\launcher-version.txt"), installed ? "1.0\n" : "");
        RemoveTestFolder(folder);
    }
}

TEST(NoServer, EmptyFolderIsRefusedBeforeAnyRequest) {
    std::wstring folder = MakeTestFolder();
    wchar_t previous[260] = {};
    GetCurrentDirectoryW(260, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
    UpdateVerdict verdict = RunUpdateSession(L"", nullptr, nullptr);
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(WideToUtf8(verdict.message), "Не удалось определить папку установки.");
    EXPECT_FALSE(verdict.canPlay);
    EXPECT_EQ(ReadBytes(folder + L"\\launcher-update.log"), "Orvane update session started.\n");
    RemoveTestFolder(folder);
}
