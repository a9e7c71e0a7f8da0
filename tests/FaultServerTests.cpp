#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

#include "Harness.h"
#include "net/Download.h"
#include "net/HttpsRequest.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"

// Downloads from the fault server (the engine is linked to 127.0.0.2), which breaks every rule nginx keeps.

namespace {

using Lines = std::vector<std::string>;

// The lines of one attempt that got its response headers.
Lines Attempt(int number, uint64_t from, int status) {
    Lines lines = {"Opening HTTPS request: /updates/f.bin"};
    if (from > 0) {
        lines.push_back("Resuming from byte: " + std::to_string(from));
    }
    lines.push_back("HTTPS response status: " + std::to_string(status));
    lines.push_back("Download attempt " + std::to_string(number) +
                    (status == (from ? 206 : 200) ? " started at byte " + std::to_string(from) : " could not open; retrying."));
    return lines;
}

Lines operator+(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST_F(InFolder, DownloadTable) {
    Lines ignoredRange;
    for (int i = 1; i <= 64; ++i) {
        ignoredRange = ignoredRange + Attempt(i, 1000, 200);
    }
    const Lines kDone = {"Download finished successfully."}, kFailed = {"Download failed."};
    const struct {
        const char* name;
        size_t served;
        const char* rules;
        size_t partial;  // bytes of the file already in the temporary file; past its end: junk follows
        uint64_t size;
        bool result;
        Lines ranges;  // the Range headers the server saw
        Lines log;     // after "Temporary file opened: " and the number of existing bytes
        int pauses;    // one-second pauses that must have passed
        bool onSmallDisk = false;
    } cases[] = {
        {"fresh, size known", 3145851, "", 0, 3145851, true, {""}, Attempt(1, 0, 200) + kDone, 0},
        {"resumed", 2500000, "", 1000000, 2500000, true, {"bytes=1000000-"}, Attempt(1, 1000000, 206) + kDone, 0},
        {"partial longer than the size starts over", 5000, "", 5020, 5000, true, {""}, Attempt(1, 0, 200) + kDone, 0},
        {"partial already complete: no request", 5000, "", 5000, 5000, true, {}, kDone, 0},
        {"unknown size ends with the response", 2097159, "", 0, 0, true, {""},
         Attempt(1, 0, 200) + Lines{"Response completed at byte: 2097159"} + kDone, 0},
        {"body cut mid-file, resumed twice", 2000000, "/updates/f.bin cut 700000", 0, 2000000, true,
         {"", "bytes=700000-", "bytes=1400000-"},
         Attempt(1, 0, 200) + Lines{"Response completed at byte: 700000", "Partial file preserved; retrying from byte: 700000"} +
             Attempt(2, 700000, 206) + Lines{"Response completed at byte: 1400000",
                                             "Partial file preserved; retrying from byte: 1400000"} + Attempt(3, 1400000, 206) + kDone,
         2},
        {"Range ignored: a 200 body never lands after the partial file", 50000, "/updates/f.bin norange", 1000, 50000, false,
         Lines(64, "bytes=1000-"), ignoredRange + kFailed, 64},
        // Windows fails the write with 112 (ERROR_DISK_FULL); Wine 8 writes short and sets no error.
        {"disk full: no further attempt, the old file intact", 8388608, "", 0, 8388608, false, {""},
         Attempt(1, 0, 200) + Lines{"WriteFile failed: "} + kFailed, 0, true},
    };
    for (const auto& c : cases) {
        // The small disk is a 6 MiB file system that the test run mounts there.
        std::wstring where = c.onSmallDisk ? std::wstring(_wgetenv(L"ORVANE_TEST_SERVERS")) + L"\\small-disk" : folder;
        std::wstring temporary = where + L"\\файл.bin.download";
        std::string bytes = TestBytes(c.served, 7);
        PutServed("/updates/f.bin", bytes);
        ResetServer(c.rules);
        if (c.partial > 0) {
            WriteBytes(temporary, bytes.substr(0, c.partial) + std::string(c.partial - std::min(c.partial, c.served), 'j'));
        }
        WriteBytes(where + L"\\файл.bin", "the old file");
        StartLog(where);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(DownloadToFile(L"/updates/f.bin", temporary, c.size, 0, 0, nullptr, nullptr, L""), c.result) << c.name;
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(c.pauses)) << c.name;
        Lines log = ReadLines(where + L"\\launcher-update.log");
        for (std::string& line : log) {
            line = line.rfind("WriteFile failed: ", 0) == 0 ? "WriteFile failed: " : line;
        }
        std::string existing = std::to_string(c.partial <= c.size ? c.partial : 0);
        EXPECT_EQ(log, Lines({"Download start: /updates/f.bin", "Temporary file opened: " + WideToUtf8(temporary) +
                                                                     "; existing bytes: " + existing}) + c.log) << c.name;
        EXPECT_TRUE(c.onSmallDisk || ReadBytes(temporary) == (c.result ? bytes : bytes.substr(0, c.partial))) << c.name;
        EXPECT_EQ(ReadBytes(where + L"\\файл.bin"), "the old file") << c.name;
        // The requests as the server saw them: GET, our user agent, no header of ours but Range.
        Lines requests;
        for (const std::string& range : c.ranges) {
            requests.push_back("/updates/f.bin|" + range + "|GET|OrvaneLauncher/0.0.1|Connection,Host," +
                               (range.empty() ? "" : "Range,") + "User-Agent");
        }
        EXPECT_EQ(Requests(requests.size()), requests) << c.name;
        DeleteFileW(temporary.c_str());
        DeleteFileW((where + L"\\файл.bin").c_str());
    }
    StartLog(folder);
    EXPECT_FALSE(DownloadToFile(L"/updates/f.bin", folder + L"\\нет\\f.download", 10, 0, 0, nullptr, nullptr, L""));
    // A resume at the end of the file is refused with 416 and never accepted.
    HttpsRequest handles;
    EXPECT_FALSE(OpenHttpsRequest(L"/updates/f.bin", handles, 8388608));
    CloseHttpsRequest(handles);
    EXPECT_EQ(ReadLines(folder + L"\\launcher-update.log"),
              (Lines{"Download start: /updates/f.bin", "CreateFile failed: 3", "Opening HTTPS request: /updates/f.bin",
                     "Resuming from byte: 8388608", "HTTPS response status: 416"}));
}
