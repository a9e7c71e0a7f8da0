#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ExpectedTexts.h"
#include "Harness.h"
#include "support/TextEncoding.h"
#include "update/UpdateSession.h"

// Linked to talk to 127.0.0.3, where nothing listens: the player has no server at all.
TEST_F(InFolder, NoServerAtAll) {
    for (bool installed : {false, true}) {
        std::wstring game = folder + (installed ? L"\\installed" : L"\\new");
        std::filesystem::create_directories(game);
        if (installed) {
            WriteBytes(game + L"\\Orvane.exe", "MZ");
            WriteBytes(game + L"\\launcher-version.txt", "1.0\n");
        }
        UpdateVerdict verdict = RunUpdateSession(game, nullptr, nullptr);
        EXPECT_EQ(WideToUtf8(verdict.message), installed ? expected::kUpdateFetchFailed : expected::kFirstFetchFailed);
        EXPECT_EQ(verdict.canPlay, installed);
        EXPECT_EQ(LogLines(game), (std::vector<std::string>{
                                      "Orvane update session started.",
                                      installed ? "Opening HTTPS request: /updates/latest.json"
                                                : "Opening HTTPS request: /updates/full.json",
                                      "Send/receive response failed: 12029"}));
    }
    // No folder: refused before any request; the start line goes to the current folder.
    std::wstring previous = std::filesystem::current_path().wstring();
    std::filesystem::current_path(folder);
    UpdateVerdict verdict = RunUpdateSession(L"", nullptr, nullptr);
    std::filesystem::current_path(previous);
    EXPECT_EQ(WideToUtf8(verdict.message), expected::kFolderUnknown);
    EXPECT_FALSE(verdict.canPlay);
    EXPECT_EQ(ReadBytes(folder + L"\\launcher-update.log"), "Orvane update session started.\n");
}
