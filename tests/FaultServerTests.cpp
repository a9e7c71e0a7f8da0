#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServerFiles.h"
#include "TestFiles.h"
#include "net/Download.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"
#include "update/UpdateSession.h"

// These tests talk to the fault server on 127.0.0.2, which breaks the rules nginx keeps.

namespace {

using Lines = std::vector<std::string>;

class FaultServer : public ::testing::Test {
protected:
    void SetUp() override {
        ResetServers();
        folder = MakeTestFolder();
        StartLog(folder);
        temporary = folder + L"\\часть.bin.download";
    }
    void TearDown() override { RemoveTestFolder(folder); }

    std::wstring folder;
    std::wstring temporary;
};

bool Contains(const Lines& lines, const std::string& line) {
    for (const std::string& l : lines) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST_F(FaultServer, BodyCutOffMidFileIsResumedOnTheNextAttempt) {
    std::string bytes = TestBytes(2000000, 20);
    PutFaultFile("/updates/cut.bin", bytes);
    SetFaultRules("/updates/cut.bin cut 700000\n");
    ASSERT_TRUE(DownloadToFile(L"/updates/cut.bin", temporary, bytes.size(), 0, 0, nullptr, nullptr, L""));
    EXPECT_TRUE(ReadBytes(temporary) == bytes);
    Lines log = LogLines(folder);
    EXPECT_TRUE(Contains(log, "Partial file preserved; retrying from byte: 700000"));
    EXPECT_TRUE(Contains(log, "Download attempt 2 started at byte 700000"));
    EXPECT_TRUE(Contains(log, "Partial file preserved; retrying from byte: 1400000"));
    EXPECT_TRUE(Contains(log, "Download attempt 3 started at byte 1400000"));
    EXPECT_EQ(log.back(), "Download finished successfully.");
    std::vector<ServedRequest> served = FaultRequests(3);
    ASSERT_EQ(served.size(), 3u);
    EXPECT_EQ(served[0].range, "");
    EXPECT_EQ(served[1].range, "bytes=700000-");
    EXPECT_EQ(served[2].range, "bytes=1400000-");
    EXPECT_EQ(served[2].bodyBytes, 600000u);
}

TEST_F(FaultServer, ServerThatIgnoresRangeNeverCorruptsThePartialFile) {
    std::string bytes = TestBytes(50000, 21);
    PutFaultFile("/updates/norange.bin", bytes);
    SetFaultRules("/updates/norange.bin norange\n");
    WriteBytes(temporary, bytes.substr(0, 1000));
    EXPECT_FALSE(DownloadToFile(L"/updates/norange.bin", temporary, bytes.size(), 0, 0, nullptr, nullptr, L""));
    EXPECT_EQ(ReadBytes(temporary), bytes.substr(0, 1000)) << "a 200 body is never appended to a partial file";
    Lines log = LogLines(folder);
    EXPECT_TRUE(Contains(log, "Download attempt 1 could not open; retrying."));
    EXPECT_TRUE(Contains(log, "Download attempt 64 could not open; retrying."));
    EXPECT_FALSE(Contains(log, "Download attempt 65 could not open; retrying."));
    EXPECT_EQ(log.back(), "Download failed.");
    std::vector<ServedRequest> served = FaultRequests(64);
    ASSERT_EQ(served.size(), 64u);
    EXPECT_EQ(served[63].range, "bytes=1000-");
    EXPECT_EQ(served[63].status, 200);
}

TEST_F(FaultServer, ManifestFailuresGiveTheirVerdicts) {
    const struct {
        const char* rule;
        bool installed;
        const char* message;
        bool canPlay;
    } cases[] = {
        {"/updates/full.json status 500", false,
         "Не удалось получить файлы первой установки. Проверьте интернет и повторите запуск.", false},
        {"/updates/latest.json status 404", true, "Не удалось проверить обновления. Можно запустить установленную версию.",
         true},
        {"/updates/latest.json status 206", true, "Не удалось проверить обновления. Можно запустить установленную версию.",
         true},
    };
    for (const auto& c : cases) {
        std::wstring game = MakeTestFolder();
        if (c.installed) {
            WriteBytes(game + L"\\Orvane.exe", "MZ");
            WriteBytes(game + L"\\launcher-version.txt", "1.0\n");
        }
        SetFaultRules(std::string(c.rule) + "\n");
        UpdateVerdict verdict = RunUpdateSession(game, nullptr, nullptr);
        EXPECT_EQ(WideToUtf8(verdict.message), c.message) << c.rule;
        EXPECT_EQ(verdict.canPlay, c.canPlay) << c.rule;
        RemoveTestFolder(game);
    }
    // Bytes that are no manifest at all, for example invalid UTF-8 in the version.
    PutFaultFile("/updates/full.json", "{\"version\": \"\xC3\x28\", \"files\": []}");
    SetFaultRules("");
    UpdateVerdict verdict = RunUpdateSession(folder, nullptr, nullptr);
    EXPECT_EQ(WideToUtf8(verdict.message), "Сервер версий вернул неправильный файл. Установленная игра не изменена.");
}

TEST_F(FaultServer, ServerThatNeverAnswersTimesOut) {
    SetFaultRules("/updates/latest.json hang\n");
    std::string body;
    EXPECT_FALSE(FetchToMemory(L"/updates/latest.json", body));
    Lines log = LogLines(folder);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "Opening HTTPS request: /updates/latest.json");
    // Windows reports ERROR_WINHTTP_TIMEOUT (12002); Wine 8 lets the socket's WSAETIMEDOUT (10060) through.
    EXPECT_TRUE(log[1] == "Send/receive response failed: 12002" || log[1] == "Send/receive response failed: 10060")
        << log[1];
}
