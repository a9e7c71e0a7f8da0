#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ServerFiles.h"
#include "TestFiles.h"
#include "net/Download.h"
#include "net/HttpsRequest.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"

namespace {

using Lines = std::vector<std::string>;

std::vector<std::pair<uint32_t, std::string>> reports;

void RecordProgress(uint32_t percent, const std::wstring& text, void* context) {
    EXPECT_EQ(context, &reports);
    reports.emplace_back(percent, WideToUtf8(text));
}

class NginxTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        ResetServers();
        reports.clear();
        folder = MakeTestFolder();
        StartLog(folder);
        temporary = folder + L"\\файл.bin.download";
        temporaryUtf8 = WideToUtf8(temporary);
    }
    void TearDown() override { RemoveTestFolder(folder); }

    bool Download(const std::string& url, uint64_t size, uint64_t before = 0, uint64_t total = 0) {
        return DownloadToFile(Utf8ToWide(url), temporary, size, before, total, RecordProgress, &reports,
                              L"Скачиваю файл 1 из 1: файл.bin");
    }

    std::wstring folder;
    std::wstring temporary;
    std::string temporaryUtf8;
};

}  // namespace

TEST_F(NginxTransfer, RequestStatusTable) {
    PutNginxFile("/updates/status.bin", "0123456789");
    const struct {
        const char* path;
        uint64_t offset;
        bool accepted;
        unsigned status;
    } cases[] = {
        {"/updates/status.bin", 0, true, 200},   {"/updates/status.bin", 1, true, 206},
        {"/updates/status.bin", 9, true, 206},   {"/updates/status.bin", 10, false, 416},
        {"/updates/missing.bin", 0, false, 404}, {"/updates/missing.bin", 5, false, 404},
    };
    for (const auto& c : cases) {
        StartLog(folder);
        HttpsRequest handles;
        EXPECT_EQ(OpenHttpsRequest(Utf8ToWide(c.path), handles, c.offset), c.accepted) << c.path << " " << c.offset;
        EXPECT_NE(handles.request, nullptr);
        CloseHttpsRequest(handles);
        EXPECT_EQ(handles.session, nullptr);
        Lines expected = {std::string("Opening HTTPS request: ") + c.path};
        if (c.offset > 0) {
            expected.push_back("Resuming from byte: " + std::to_string(c.offset));
        }
        expected.push_back("HTTPS response status: " + std::to_string(c.status));
        EXPECT_EQ(LogLines(folder), expected);
    }
    std::vector<ServedRequest> served = NginxRequests(6);
    ASSERT_EQ(served.size(), 6u);
    EXPECT_EQ(served[0].range, "");
    EXPECT_EQ(served[1].range, "bytes=1-") << "exactly one Range header with no end";
    EXPECT_EQ(served[2].bodyBytes, 1u);
}

TEST_F(NginxTransfer, FetchToMemory) {
    std::string manifest = "{\"version\": \"1.0\"}\n" + TestBytes(300000, 1);
    PutNginxFile("/updates/fetch.json", manifest);
    PutNginxFile("/updates/empty.json", "");
    std::string body;
    ASSERT_TRUE(FetchToMemory(L"/updates/fetch.json", body));
    EXPECT_EQ(body, manifest);
    body.clear();
    EXPECT_TRUE(FetchToMemory(L"/updates/empty.json", body));
    EXPECT_EQ(body, "");
    EXPECT_FALSE(FetchToMemory(L"/updates/absent.json", body));
    EXPECT_EQ(body, "") << "nothing of a 404 is appended";
    EXPECT_EQ(LogLines(folder), (Lines{"Opening HTTPS request: /updates/fetch.json", "HTTPS response status: 200",
                                       "Opening HTTPS request: /updates/empty.json", "HTTPS response status: 200",
                                       "Opening HTTPS request: /updates/absent.json", "HTTPS response status: 404"}));
}

TEST_F(NginxTransfer, FreshDownloadStopsAtTheKnownSize) {
    std::string bytes = TestBytes(3 * 1048576 + 123, 2);
    PutNginxFile("/updates/fresh.bin", bytes);
    ASSERT_TRUE(Download("/updates/fresh.bin", bytes.size(), bytes.size(), 2 * bytes.size()));
    EXPECT_EQ(ReadBytes(temporary), bytes);
    EXPECT_EQ(LogLines(folder), (Lines{"Download start: /updates/fresh.bin",
                                       "Temporary file opened: " + temporaryUtf8 + "; existing bytes: 0",
                                       "Opening HTTPS request: /updates/fresh.bin", "HTTPS response status: 200",
                                       "Download attempt 1 started at byte 0", "Download finished successfully."}));
    std::vector<ServedRequest> served = NginxRequests(1);
    ASSERT_EQ(served.size(), 1u);
    EXPECT_EQ(served[0].range, "");
    // Percent of the whole update: this file is its second half, reported only when the figure changes.
    ASSERT_FALSE(reports.empty());
    EXPECT_GE(reports.front().first, 50u);
    EXPECT_EQ(reports.back().first, 100u);
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GT(reports[i].first, reports[i - 1].first);
        EXPECT_EQ(reports[i].second, "Скачиваю файл 1 из 1: файл.bin");
    }
}

TEST_F(NginxTransfer, ResumesFromAPartialTemporaryFile) {
    std::string bytes = TestBytes(2500000, 3);
    PutNginxFile("/updates/resume.bin", bytes);
    WriteBytes(temporary, bytes.substr(0, 1000000));
    ASSERT_TRUE(Download("/updates/resume.bin", bytes.size()));
    EXPECT_EQ(ReadBytes(temporary), bytes);
    EXPECT_EQ(LogLines(folder),
              (Lines{"Download start: /updates/resume.bin",
                     "Temporary file opened: " + temporaryUtf8 + "; existing bytes: 1000000",
                     "Opening HTTPS request: /updates/resume.bin", "Resuming from byte: 1000000",
                     "HTTPS response status: 206", "Download attempt 1 started at byte 1000000",
                     "Download finished successfully."}));
    std::vector<ServedRequest> served = NginxRequests(1);
    ASSERT_EQ(served.size(), 1u);
    EXPECT_EQ(served[0].range, "bytes=1000000-");
    EXPECT_EQ(served[0].bodyBytes, 1500000u) << "only the missing bytes crossed the network";
    EXPECT_TRUE(reports.empty()) << "a total of 0 never reports";
}

TEST_F(NginxTransfer, CompleteOrOversizedTemporaryFiles) {
    std::string bytes = TestBytes(5000, 4);
    PutNginxFile("/updates/done.bin", bytes);
    WriteBytes(temporary, bytes);
    ASSERT_TRUE(Download("/updates/done.bin", bytes.size()));
    EXPECT_EQ(LogLines(folder), (Lines{"Download start: /updates/done.bin",
                                       "Temporary file opened: " + temporaryUtf8 + "; existing bytes: 5000",
                                       "Download finished successfully."}));
    EXPECT_TRUE(NginxRequests(0).empty()) << "a complete partial file needs no request";

    StartLog(folder);
    WriteBytes(temporary, bytes + "junk beyond the size");
    ASSERT_TRUE(Download("/updates/done.bin", bytes.size()));
    EXPECT_EQ(ReadBytes(temporary), bytes);
    EXPECT_EQ(LogLines(folder)[1], "Temporary file opened: " + temporaryUtf8 + "; existing bytes: 0");
    std::vector<ServedRequest> served = NginxRequests(1);
    ASSERT_EQ(served.size(), 1u);
    EXPECT_EQ(served[0].range, "") << "an oversized file starts over without a Range";
}

TEST_F(NginxTransfer, UnknownSizeEndsWithTheResponse) {
    std::string bytes = TestBytes(1048576 * 2 + 7, 5);
    PutNginxFile("/updates/nosize.bin", bytes);
    ASSERT_TRUE(Download("/updates/nosize.bin", 0));
    EXPECT_EQ(ReadBytes(temporary), bytes);
    EXPECT_EQ(LogLines(folder), (Lines{"Download start: /updates/nosize.bin",
                                       "Temporary file opened: " + temporaryUtf8 + "; existing bytes: 0",
                                       "Opening HTTPS request: /updates/nosize.bin", "HTTPS response status: 200",
                                       "Download attempt 1 started at byte 0",
                                       "Response completed at byte: " + std::to_string(bytes.size()),
                                       "Download finished successfully."}));
    EXPECT_EQ(NginxRequests(1).size(), 1u) << "no second request after a complete response";
}

TEST_F(NginxTransfer, TemporaryFileCannotBeCreated) {
    temporary = folder + L"\\нет\\файл.bin.download";
    EXPECT_FALSE(Download("/updates/any.bin", 10));
    EXPECT_EQ(LogLines(folder), (Lines{"Download start: /updates/any.bin", "CreateFile failed: 3"}));
    EXPECT_TRUE(NginxRequests(0).empty());
}
