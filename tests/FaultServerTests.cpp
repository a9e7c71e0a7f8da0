#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "ExpectedTexts.h"
#include "Harness.h"
#include "net/Download.h"
#include "net/HttpsRequest.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"

// Linked to talk to the fault server on 127.0.0.2, which can break every rule nginx keeps.

namespace {

using Lines = std::vector<std::string>;

class FaultServer : public InFolder {
protected:
    void SetUp() override {
        InFolder::SetUp();
        ResetServers();
        StartLog(folder);
    }
};

// Every request as the server saw it: GET, our user agent, and no header of ours but Range.
void ExpectOnlyOurHeaders(const std::vector<ServedRequest>& requests) {
    for (const ServedRequest& r : requests) {
        EXPECT_EQ(r.method, "GET") << r.path;
        EXPECT_EQ(r.userAgent, "OrvaneLauncher/0.0.1") << r.path;
        EXPECT_EQ(r.headerNames, r.range.empty() ? "Connection,Host,User-Agent" : "Connection,Host,Range,User-Agent")
            << r.path;
    }
}

}  // namespace

TEST_F(FaultServer, RequestTable) {
    PutServed(Server::Fault, "/updates/ten.bin", "0123456789");
    PutServed(Server::Fault, "/updates/empty.json", "");
    const struct {
        const char* path;
        uint64_t offset;
        const char* rules;
        bool accepted;
        const char* statusLine;
    } cases[] = {
        {"/updates/ten.bin", 0, "", true, "HTTPS response status: 200"},
        {"/updates/ten.bin", 1, "", true, "HTTPS response status: 206"},
        {"/updates/ten.bin", 9, "", true, "HTTPS response status: 206"},
        {"/updates/ten.bin", 10, "", false, "HTTPS response status: 416"},
        {"/updates/ten.bin", 5, "/updates/ten.bin norange", false, "HTTPS response status: 200"},
        {"/updates/ten.bin", 0, "/updates/ten.bin status 206", false, "HTTPS response status: 206"},
        {"/updates/missing.bin", 0, "", false, "HTTPS response status: 404"},
        // Windows reports ERROR_WINHTTP_TIMEOUT (12002); Wine 8 lets the socket's WSAETIMEDOUT (10060) through.
        {"/updates/ten.bin", 0, "/updates/ten.bin hang", false, "Send/receive response failed: 1"},
    };
    for (const auto& c : cases) {
        StartLog(folder);
        SetFaultRules(c.rules);
        HttpsRequest handles;
        EXPECT_EQ(OpenHttpsRequest(Utf8ToWide(c.path), handles, c.offset), c.accepted) << c.path << " " << c.offset;
        CloseHttpsRequest(handles);
        EXPECT_EQ(handles.session, nullptr);
        Lines log = LogLines(folder);
        Lines expected = {std::string("Opening HTTPS request: ") + c.path};
        if (c.offset > 0) {
            expected.push_back("Resuming from byte: " + std::to_string(c.offset));
        }
        expected.push_back(c.statusLine);
        ASSERT_EQ(log.size(), expected.size()) << c.path;
        log.back().resize(std::min(log.back().size(), expected.back().size()));
        EXPECT_EQ(log, expected) << c.path << " " << c.offset;
    }
    std::vector<ServedRequest> served = Requests(Server::Fault, 8);
    ASSERT_EQ(served.size(), 8u);
    EXPECT_EQ(served[1].range, "bytes=1-") << "exactly one Range header with no end";
    EXPECT_EQ(served[2].bodyBytes, 1u);
    ExpectOnlyOurHeaders(served);

    // The manifest fetch: whole body of a 200, nothing of a 404.
    std::string manifest = "{\"version\": \"1.0\"}" + TestBytes(300000, 1);
    PutServed(Server::Fault, "/updates/latest.json", manifest);
    SetFaultRules("");
    const struct {
        const wchar_t* path;
        bool result;
        std::string body;
    } fetches[] = {{L"/updates/latest.json", true, manifest}, {L"/updates/empty.json", true, ""},
                   {L"/updates/absent.json", false, ""}};
    for (const auto& f : fetches) {
        std::string body;
        EXPECT_EQ(FetchToMemory(f.path, body), f.result) << WideToUtf8(f.path);
        EXPECT_TRUE(body == f.body) << WideToUtf8(f.path);
    }
}

TEST_F(FaultServer, DownloadTable) {
    // A 6 MiB file system that the test run mounts there.
    const std::wstring smallDisk = std::wstring(_wgetenv(L"ORVANE_TEST_SERVERS")) + L"\\small-disk";
    const std::string kOpen = "Opening HTTPS request: /updates/f.bin";
    Lines ignoredRange = {"Temporary file opened: T; existing bytes: 1000"};
    for (int i = 1; i <= 64; ++i) {
        ignoredRange.insert(ignoredRange.end(), {kOpen, "Resuming from byte: 1000", "HTTPS response status: 200",
                                                 "Download attempt " + std::to_string(i) + " could not open; retrying."});
    }
    ignoredRange.push_back("Download failed.");
    const struct {
        const char* name;
        size_t served;
        const char* rules;
        size_t partial;  // bytes of the file already in the temporary file; past its end: junk follows
        uint64_t size;
        bool result;
        Lines ranges;
        Lines log;   // after "Download start: ", with T for the temporary path
        int pauses;  // one-second pauses that must have been waited
        bool onSmallDisk = false;
    } cases[] = {
        {"fresh, size known", 3 * 1048576 + 123, "", 0, 3 * 1048576 + 123, true, {""},
         {"Temporary file opened: T; existing bytes: 0", kOpen, "HTTPS response status: 200",
          "Download attempt 1 started at byte 0", "Download finished successfully."}, 0},
        {"resumed from a partial file", 2500000, "", 1000000, 2500000, true, {"bytes=1000000-"},
         {"Temporary file opened: T; existing bytes: 1000000", kOpen, "Resuming from byte: 1000000",
          "HTTPS response status: 206", "Download attempt 1 started at byte 1000000", "Download finished successfully."}, 0},
        {"partial longer than the size starts over", 5000, "", 5020, 5000, true, {""},
         {"Temporary file opened: T; existing bytes: 0", kOpen, "HTTPS response status: 200",
          "Download attempt 1 started at byte 0", "Download finished successfully."}, 0},
        {"partial already complete: no request", 5000, "", 5000, 5000, true, {},
         {"Temporary file opened: T; existing bytes: 5000", "Download finished successfully."}, 0},
        {"unknown size ends with the response", 2 * 1048576 + 7, "", 0, 0, true, {""},
         {"Temporary file opened: T; existing bytes: 0", kOpen, "HTTPS response status: 200",
          "Download attempt 1 started at byte 0", "Response completed at byte: 2097159",
          "Download finished successfully."}, 0},
        {"body cut mid-file, resumed twice", 2000000, "/updates/f.bin cut 700000", 0, 2000000, true,
         {"", "bytes=700000-", "bytes=1400000-"},
         {"Temporary file opened: T; existing bytes: 0", kOpen, "HTTPS response status: 200",
          "Download attempt 1 started at byte 0", "Response completed at byte: 700000",
          "Partial file preserved; retrying from byte: 700000", kOpen, "Resuming from byte: 700000",
          "HTTPS response status: 206", "Download attempt 2 started at byte 700000", "Response completed at byte: 1400000",
          "Partial file preserved; retrying from byte: 1400000", kOpen, "Resuming from byte: 1400000",
          "HTTPS response status: 206", "Download attempt 3 started at byte 1400000", "Download finished successfully."},
         2},
        {"Range ignored: the partial file is never appended to", 50000, "/updates/f.bin norange", 1000, 50000, false,
         Lines(64, "bytes=1000-"), ignoredRange, 64},
        {"disk full: no further attempt, the old file intact", 8 * 1048576, "", 0, 8 * 1048576, false, {""},
         {"Temporary file opened: T; existing bytes: 0", kOpen, "HTTPS response status: 200",
          "Download attempt 1 started at byte 0", "WriteFile failed: ", "Download failed."}, 0, true},
    };
    for (const auto& c : cases) {
        std::wstring where = c.onSmallDisk ? smallDisk : folder;
        std::wstring temporary = where + L"\\файл.bin.download";
        std::string bytes = TestBytes(c.served, 7);
        PutServed(Server::Fault, "/updates/f.bin", bytes);
        ResetServers();
        SetFaultRules(c.rules);
        if (c.partial > 0) {
            WriteBytes(temporary, bytes.substr(0, c.partial) + std::string(c.partial > c.served ? c.partial - c.served : 0, 'j'));
        }
        WriteBytes(where + L"\\файл.bin", "the old file");
        StartLog(where);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(DownloadToFile(L"/updates/f.bin", temporary, c.size, 0, 0, nullptr, nullptr, L""), c.result) << c.name;
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(c.pauses)) << c.name;
        Lines expected = {"Download start: /updates/f.bin"};
        for (std::string line : c.log) {
            expected.push_back(line.find(" T;") == std::string::npos ? line : line.replace(line.find(" T;") + 1, 1, WideToUtf8(temporary)));
        }
        Lines log = LogLines(where);
        for (std::string& line : log) {
            // Windows fails the write with 112 (ERROR_DISK_FULL); Wine 8 writes short and sets no error.
            line = line.rfind("WriteFile failed: ", 0) == 0 ? "WriteFile failed: " : line;
        }
        EXPECT_EQ(log, expected) << c.name;
        if (!c.onSmallDisk) {
            EXPECT_TRUE(ReadBytes(temporary) == (c.result ? bytes : bytes.substr(0, c.partial))) << c.name;
        }
        EXPECT_EQ(ReadBytes(where + L"\\файл.bin"), "the old file") << c.name;
        std::vector<ServedRequest> served = Requests(Server::Fault, c.ranges.size());
        Lines ranges;
        for (const ServedRequest& r : served) {
            ranges.push_back(r.range);
        }
        EXPECT_EQ(ranges, c.ranges) << c.name;
        ExpectOnlyOurHeaders(served);
        DeleteFileW(temporary.c_str());
        DeleteFileW((where + L"\\файл.bin").c_str());
    }
    StartLog(folder);
    EXPECT_FALSE(DownloadToFile(L"/updates/f.bin", folder + L"\\нет\\f.download", 10, 0, 0, nullptr, nullptr, L""));
    EXPECT_EQ(LogLines(folder), (Lines{"Download start: /updates/f.bin", "CreateFile failed: 3"}));
}
