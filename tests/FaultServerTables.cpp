#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ExpectedTexts.h"
#include "Harness.h"
#include "net/Download.h"
#include "net/HttpsRequest.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"
#include "update/UpdateSession.h"

// Downloads and update sessions against the fault server (the engine is linked to 127.0.0.2), which
// breaks every rule nginx keeps.

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

using Files = std::vector<std::pair<std::string, std::string>>;  // path -> bytes
using Reports = std::vector<std::pair<uint32_t, std::string>>;
const std::string kAbsent = "<absent>";  // as bytes after the session: no such file

void Record(uint32_t percent, const std::wstring& text, void* context) {
    static_cast<Reports*>(context)->emplace_back(percent, WideToUtf8(text));
}

// Log lines of the engine's own wording, each a prefix before a number.
const char kReadFailed[] = "WinHttpReadData failed: ";
const char kTooSlow[] = "Transfer too slow; bytes received in the last 30 s: ";
const char kTooLarge[] = "Manifest refused, longer than the limit in bytes: 268435456";
const char kBusy[] = "Target busy; retrying the replace every 500 ms for up to 10 s: ";
const char kRestart[] = "Resumed download failed its check; downloading it again from byte 0: ";
const char kMarkerFailed[] = "Could not record the update in progress: ";
const size_t kManifestLimit = 268435456;

Files Game(const std::string& version, Files more = {}) {
    more.insert(more.begin(), {{"Orvane.exe", "MZ game"}, {"launcher-version.txt", version + "\n"}});
    return more;
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
        int pauses;    // seconds of pauses and time-outs that must have passed
        bool onSmallDisk = false;
        std::pair<size_t, size_t> attempts = {};  // over a link that breaks: the fewest and most attempts
        const char* cut = kReadFailed;            // the line that ends each broken attempt there
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
        // A link counts its own bytes (TLS, headers) too: where it breaks a body is not known to the byte.
        {"a stall past the receive time-out: one pause, then the resume", 3000000, "link stall 40 1500000", 0, 3000000,
         true, {}, {}, 31, false, {2, 2}},
        {"a link reset every 512 KiB", 4194304, "link reset 524288", 0, 4194304, true, {}, {}, 7, false, {8, 9}},
        // One byte a second after 256 KiB on the link: no TLS record, so no byte, reaches the reader again;
        // given up a second after the 30 s window (a stall is left to the receive time-out), then resumed.
        {"a body that drips after 256 KiB: dropped after 30 s, resumed", 400000, "link drip 262144 1", 0, 400000, true,
         {}, {}, 32, false, {2, 2}, kTooSlow},
        {"a slow but steady link (4 KB/s for 34 s) is not cut", 136000, "link rate 0.032", 0, 136000, true, {""},
         Attempt(1, 0, 200) + kDone, 32},
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
        Lines log = ReadLines(where + L"\\launcher-update.log"), ranges = c.ranges, expected = c.log;
        const std::string kRetrying = "Partial file preserved; retrying from byte: ";
        std::vector<uint64_t> from = {0};  // where each attempt began, as the log says
        for (std::string& line : log) {
            for (const char* code : {"WriteFile failed: ", kReadFailed, kTooSlow}) {
                line = line.rfind(code, 0) == 0 ? code : line;
            }
            if (line.rfind(kRetrying, 0) == 0) {
                from.push_back(std::stoull(line.substr(kRetrying.size())));
            }
        }
        // Each attempt must resume where the one before stopped (the response ended early, or the link broke),
        // and the server see that Range.
        for (size_t i = 0; c.attempts.second > 0 && i < from.size(); ++i) {
            ranges.push_back(from[i] ? "bytes=" + std::to_string(from[i]) + "-" : "");
            expected = expected + Attempt(int(i + 1), from[i], from[i] ? 206 : 200) +
                       (i + 1 >= from.size() ? kDone : Lines{c.cut, kRetrying + std::to_string(from[i + 1])});
            EXPECT_TRUE(i == 0 || from[i] > from[i - 1]) << c.name << ": attempt " << i + 1 << " lost bytes";
        }
        EXPECT_TRUE(from.size() >= c.attempts.first && (!c.attempts.second || from.size() <= c.attempts.second))
            << c.name << ": " << from.size() << " attempts";
        std::string existing = std::to_string(c.partial <= c.size ? c.partial : 0);
        EXPECT_EQ(log, Lines({"Download start: /updates/f.bin", "Temporary file opened: " + WideToUtf8(temporary) +
                                                                     "; existing bytes: " + existing}) + expected) << c.name;
        EXPECT_TRUE(c.onSmallDisk || ReadBytes(temporary) == (c.result ? bytes : bytes.substr(0, c.partial))) << c.name;
        EXPECT_EQ(ReadBytes(where + L"\\файл.bin"), "the old file") << c.name;
        // The requests as the server saw them: GET, our user agent, no header of ours but Range.
        Lines requests;
        for (const std::string& range : ranges) {
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

// Every verdict of the update session.
TEST_F(InFolder, SessionVerdicts) {
    using namespace expected;
    const std::string a = TestBytes(300, 1), b = TestBytes(700, 2), kA = "/updates/v/a.pak", kB = "/updates/v/b.pak";
    const std::string A = Entry("a.pak", kA, a), B = Entry("b.pak", kB, b), badA = Entry("a.pak", kA, a, nullptr, DigestOf(b));
    const std::string kE = "/updates/v/e.pak", E = Entry("e.pak", kE, "");
    std::string atLimit = Manifest("1.0", false, {A}), dripping = Manifest("2", false, {A});
    atLimit.resize(kManifestLimit, ' ');
    dripping.resize(100000, ' ');
    std::string upperDigest = DigestOf(a);
    std::transform(upperDigest.begin(), upperDigest.end(), upperDigest.begin(), [](char c) { return char(toupper(c)); });
    const std::string upperA = Entry("a.pak", kA, a, nullptr, upperDigest);
    const Files current = Game("1.0", {{"a.pak", a}}), v1 = Game("1.0"), v120 = Game("1.2.0");
    const Files oldFolder = Game("1.0", {{"old/x", "x"}});
    const Files versionBlocked = Game("1.0", {{"launcher-version.txt.download/x", ""}});
    // 1.0 installed, the session for 2 stopped after a.pak (the marker is its record), 1.0 offered again.
    const std::string a2 = TestBytes(300, 5), kPending = "launcher-update-pending.txt";
    const Files mixed = Game("1.0", {{"a.pak", a2}, {"b.pak", b}, {kPending, "2\n"}});
    const std::string badB = Entry("b.pak", kB, b, nullptr, DigestOf(a));
    auto v2 = [](std::vector<std::string> entries, std::vector<std::string> deleted = {}) {
        return Manifest("2", false, entries, deleted);
    };
    const struct {
        const char* name;
        Files before;
        std::string manifest;  // "": an empty body
        const char* rules;
        std::string verdict;
        bool canPlay;
        Files after = {};
        std::vector<std::string> requests = {};  // besides the manifest's
        Reports reports = {};                    // checked when given
        const wchar_t* root = L"";               // before the game folder's path
        std::pair<int, int> seconds = {0, 10};   // the least and most the session may take
        const char* held = nullptr;              // a file another program holds open from the start
        int heldFor = 0;                         // seconds; 0: the whole session
        std::vector<std::string> logged = {};    // how often each of the lines of the checks below is written
    } cases[] = {
        {"first install, manifest 500", {}, "", "/updates/full.json status 500", kFirstFetchFailed, false},
        {"update, manifest 404", v1, "", "/updates/latest.json status 404", kUpdateFetchFailed, true},
        {"update, 206 to the manifest", v1, "", "/updates/latest.json status 206", kUpdateFetchFailed, true},
        // Windows gives up with 12002, Wine 8 with 10060, after the 30-second receive time-out.
        {"update, the manifest never answers", v1, "", "/updates/latest.json hang", kUpdateFetchFailed, true},
        {"update, the connection refused: at once", v1, "", "link refuse", kUpdateFetchFailed, true},
        {"update, an empty manifest body", v1, "", "", kManifestRejected, true},
        {"first install, not a manifest", {}, "<html>502</html>", "", kManifestRejected, false},
        {"update, not a manifest", v1, "{\"version\": \"\"}", "", kManifestRejected, true},
        {"equal versions: nothing fetched or removed", v120, Manifest("1.2.0", true, {A}, {"Orvane.exe"}), "",
         Current("1.2.0"), true, {{"Orvane.exe", "MZ game"}, {"a.pak", kAbsent}}, {}, {{0, kChecking}, {100, kNothingNeeded}}},
        {"1.2.00 is another version", v120, Manifest("1.2.00", false, {}), "", Updated("1.2.00"), true,
         {{"launcher-version.txt", "1.2.00\n"}}, {}, {{0, kChecking}, {100, kDone}}},
        {"a trailing blank is another version", v120, Manifest("1.2.0 ", false, {}), "", Updated("1.2.0 "), true,
         {{"launcher-version.txt", "1.2.0 \n"}}},
        {"1.10.0 is another version", v120, Manifest("1.10.0", false, {}), "", Updated("1.10.0"), true},
        {"Orvane.exe without a version file is a first install", {{"Orvane.exe", "MZ"}}, v2({A}), "", Installed("2"), true,
         {{"a.pak", a}, {"launcher-version.txt", "2\n"}}, {kA}},
        {"the version file without Orvane.exe is a first install", {{"launcher-version.txt", "2\n"}}, v2({}), "", Installed("2"),
         true},
        {"sizes 300 and 700 report 0 and 30", {}, v2({A, B}), "", Installed("2"), true, {{"a.pak", a}, {"b.pak", b}}, {kA, kB},
         {{0, kNotInstalled}, {0, Downloading(1, 2, "a.pak")}, {30, Downloading(1, 2, "a.pak")},
          {30, Downloading(2, 2, "b.pak")}, {100, Downloading(2, 2, "b.pak")}, {100, kDone}}},
        {"entries of size 0 report (i-1)*100/n", {},
         v2({Entry("a.pak", kA, a, "0"), Entry("b.pak", kB, b, "0"), Entry("c/c.pak", kA, a, "0")}), "", Installed("2"), true,
         {{"c/c.pak", a}}, {kA, kB, kA}, {{0, kNotInstalled}, {0, Downloading(1, 3, "a.pak")},
         {33, Downloading(2, 3, "b.pak")}, {66, Downloading(3, 3, "c.pak")}, {100, kDone}}},
        {"bad digest stops the update, non-mandatory", Game("1.0", {{"a.pak", "old"}}), v2({badA, B}), "", kFileFailed, true,
         {{"a.pak", "old"}, {"a.pak.download", kAbsent}, {"b.pak", kAbsent}, {"launcher-version.txt", "1.0\n"},
          {kPending, kAbsent}}, {kA}},
        {"a failed session after its first change keeps the marker", v1, v2({A, badB}), "", kFileFailed, true,
         {{"a.pak", a}, {kPending, "2\n"}}, {kA, kB}},
        {"the marker: a stopped update is repaired, not called current", mixed, Manifest("1.0", false, {A, B}), "",
         Updated("1.0"), true, {{"a.pak", a}, {kPending, kAbsent}, {"launcher-version.txt", "1.0\n"}}, {kA}},
        {"the marker, the server down: play the installed game", mixed, "", "/updates/latest.json status 500",
         kUpdateFetchFailed, true, {{"a.pak", a2}, {kPending, "2\n"}}},
        {"the marker cannot be written: the update goes on", Game("1.0", {{kPending + ".download/x", ""}}), v2({A}), "",
         Updated("2"), true, {{"a.pak", a}}, {kA}, {}, L"", {0, 10}, nullptr, 0, {kMarkerFailed}},
        // Another build's start in the temporary file: one fresh download, in the same session.
        {"a resume that fails its check starts again from byte 0", Game("1.0", {{"a.pak.download", a2.substr(0, 120)}}),
         v2({A}), "", Updated("2"), true, {{"a.pak", a}, {"a.pak.download", kAbsent}}, {kA, kA}, {}, L"", {0, 10}, nullptr, 0,
         {kRestart}},
        {"a file that fails again from byte 0 fails", Game("1.0", {{"a.pak.download", a2.substr(0, 120)}}), v2({badA}), "",
         kFileFailed, true, {{"a.pak.download", kAbsent}}, {kA, kA}, {}, L"", {0, 10}, nullptr, 0, {kRestart}},
        {"bad digest, mandatory", v1, Manifest("2", true, {badA}), "", kFileFailed, false, {}, {kA}},
        {"bad digest, first install", {}, v2({badA}), "", kFileFailed, true, {}, {kA}},
        {"removal refused, non-mandatory", oldFolder, v2({}, {"old"}), "", kRemovalFailed, true,
         {{"launcher-version.txt", "1.0\n"}}, {}, {{0, kChecking}, {99, kRemoving}}},
        {"removal refused, mandatory", oldFolder, Manifest("2", true, {}, {"old"}), "", kRemovalFailed, false},
        {"removal refused, first install", {{"old/x", "x"}}, v2({}, {"old"}), "", kRemovalFailed, true},
        {"version not saved, update", versionBlocked, v2({}), "", kVersionNotSaved, true, {{"launcher-version.txt", "1.0\n"}}},
        {"version not saved, mandatory", versionBlocked, Manifest("2", true, {}), "", kVersionNotSaved, false},
        {"version not saved, first install", {{"launcher-version.txt.download/x", ""}}, v2({}), "", kVersionNotSaved, false},
        {"url of exactly /updates/", current, v2({Entry("a.pak", "/updates/", a)}), "", Updated("2"), true},
        {"url /updates", current, v2({Entry("a.pak", "/updates", a)}), "", kFileFailed, true},
        {"url in other letter case", {}, v2({Entry("a.pak", "/Updates/v/a.pak", a)}), "", kFileFailed, true,
         {{"a.pak", kAbsent}}},
        {"absolute url", {}, v2({Entry("a.pak", "https://elsewhere.example/a.pak", a)}), "", kFileFailed, true},
        {"upper-case digest of a current file", current, v2({upperA}), "", Updated("2"), true},
        {"upper-case digest of a download", {}, v2({upperA}), "", Installed("2"), true, {{"a.pak", a}}, {kA}},
        // The marker comes before the first change, so a move that fails leaves it.
        {"a folder in the target's place", {{"a.pak/x", "x"}}, v2({A}), "", kFileFailed, true,
         {{"a.pak/x", "x"}, {"a.pak.download", kAbsent}, {kPending, "2\n"}}, {kA}},
        {"a leftover download stays when the target is current", Game("1.0", {{"a.pak", a}, {"a.pak.download", "part"}}),
         v2({A}), "", Updated("2"), true, {{"a.pak.download", "part"}}},
        // One unsafe path is enough here: the path rule has its own table.
        {"zero byte in a path: the live file is untouched", Game("1.0", {{"data/live.pak", "live"}}),
         v2({Entry(std::string("data/live.pak\0", 14), kA, a)}), "", kFileFailed, true, {{"data/live.pak", "live"}}},
        // Nul is the one device a test may write to; a device in any element is refused before any request.
        {"a device name in a path", {}, v2({Entry("a/nul.pak", kA, a)}), "", kFileFailed, true, {{"a", kAbsent}}},
        // Folders as the paths mean them: none where a file belongs, no empty ones left behind.
        {"'..' after a file or a folder name", Game("1.0"), v2({Entry("Orvane.exe/../x.pak", kA, a),
         Entry("data.pak/../other.pak", kB, b), Entry("data.pak", kA, a), Entry("r/s/../../ok.pak", kB, b)}), "",
         Updated("2"), true, {{"x.pak", a}, {"other.pak", b}, {"data.pak", a}, {"ok.pak", b}, {"r", kAbsent}}, {kA, kB, kA, kB}},
        // A launcher started through a long path has a "\\?\" folder, which Windows takes literally.
        {"a \\\\?\\ folder and '/' between folders", {}, v2({Entry("c/d/c.pak", kA, a)}), "", Installed("2"), true,
         {{"c/d/c.pak", a}}, {kA}, {}, L"\\\\?\\"},
        // The fetch comes before any signature check: a host must not make it hold what it likes.
        {"a Content-Length of 1 TiB: refused unread", v1, v2({A}), "/updates/latest.json length 1099511627776",
         kManifestRejected, true, {{"a.pak", kAbsent}, {"launcher-version.txt", "1.0\n"}}, {}, {}, L"", {0, 10}, nullptr, 0,
         {kTooLarge}},
        {"a manifest without a length that never ends: cut at the limit", {}, v2({A}), "/updates/full.json endless",
         kManifestRejected, false, {{"a.pak", kAbsent}}, {}, {}, L"", {0, 60}, nullptr, 0, {kTooLarge}},
        {"a manifest of exactly the limit is read", v1, atLimit, "", Current("1.0"), true, {{"a.pak", kAbsent}}, {}, {},
         L"", {0, 60}},
        {"a manifest that drips: the installed game is playable after 30 s", v1, dripping, "link drip 20000 1",
         kUpdateFetchFailed, true, {{"a.pak", kAbsent}}, {}, {}, L"", {31, 41}, nullptr, 0, {kTooSlow}},
        // Before any header the time-outs restart with every byte; the request is given up when they would
        // all have run out one after the other.
        {"a link that drips from its first byte: playable after 90 s", v1, dripping, "link drip 0 1", kUpdateFetchFailed,
         true, {{"a.pak", kAbsent}}, {}, {}, L"", {90, 100}},
        // Wine refuses the replace with 5 (access denied); Windows with 32 when an antivirus scans the file.
        {"a target held for 3 s is waited out", Game("1.0", {{"a.pak", "old"}}), v2({A}), "", Updated("2"), true,
         {{"a.pak", a}}, {kA}, {}, L"", {2, 12}, "a.pak", 3, {kBusy}},
        {"a target held through the session: refused after 10 s", Game("1.0", {{"a.pak", "old"}}), v2({A}), "",
         kFileFailed, true, {{"a.pak", "old"}, {"a.pak.download", kAbsent}}, {kA}, {}, L"", {10, 20}, "a.pak", 0, {kBusy}},
        // Whatever the host serves for it (kE holds junk), an empty file is written without a request.
        {"an empty file: installed, never asked for", {}, v2({E, A}), "", Installed("2"), true, {{"e.pak", ""}}, {kA}},
        {"an empty file replaces an old one", Game("1.0", {{"e.pak", "old"}}), v2({E}), "", Updated("2"), true,
         {{"e.pak", ""}}},
    };
    PutServed(kA, a);
    PutServed(kB, b);
    PutServed(kE, "junk");
    int row = 0;
    for (const auto& c : cases) {
        std::wstring game = c.root + folder + L"\\" + std::to_wstring(++row);
        CreateDirectoryW(game.c_str(), nullptr);
        for (const auto& [path, bytes] : c.before) {
            WriteBytes(InPath(game, path), bytes);
        }
        // An installed game has both Orvane.exe and the version file; anything less is a first installation.
        bool installed = FileExists(InPath(game, "Orvane.exe")) && FileExists(InPath(game, "launcher-version.txt"));
        ResetServer(c.rules);
        PutServed("/updates/latest.json", c.manifest);
        PutServed("/updates/full.json", c.manifest);
        HANDLE held = c.held ? CreateFileW(InPath(game, c.held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr)
                             : INVALID_HANDLE_VALUE;
        std::thread release([&] {
            if (c.heldFor > 0) {
                Sleep(static_cast<DWORD>(c.heldFor) * 1000);
                CloseHandle(held);
            }
        });
        Reports reports;
        auto start = std::chrono::steady_clock::now();
        UpdateVerdict verdict = RunUpdateSession(game, Record, &reports);
        auto took = std::chrono::steady_clock::now() - start;
        release.join();
        if (c.heldFor == 0 && held != INVALID_HANDLE_VALUE) {
            CloseHandle(held);
        }
        // Only a server that never answers may keep a player waiting for the time-out (256 MiB take a while).
        EXPECT_TRUE(strstr(c.rules, "hang") || took < std::chrono::seconds(c.seconds.second)) << c.name;
        EXPECT_GE(took, std::chrono::seconds(c.seconds.first)) << c.name;
        Lines log = ReadLines(InPath(game, "launcher-update.log"));
        for (const char* line : {kTooLarge, kTooSlow, kBusy, kRestart, kMarkerFailed}) {
            EXPECT_EQ(std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(line, 0) == 0; }),
                      std::count(c.logged.begin(), c.logged.end(), line)) << c.name << ": " << line;
        }
        std::string outcome = WideToUtf8(verdict.message) + (verdict.canPlay ? " +play" : "");
        EXPECT_EQ(outcome, c.verdict + (c.canPlay ? " +play" : "")) << c.name;
        for (const auto& [path, bytes] : c.after) {
            // A folder reads as empty bytes, so it counts as present.
            bool present = GetFileAttributesW(InPath(game, path).c_str()) != INVALID_FILE_ATTRIBUTES;
            EXPECT_EQ(present ? ReadBytes(InPath(game, path)) : kAbsent, bytes) << c.name << ": " << path;
        }
        // A refused connection, or one whose handshake drips, reaches no server.
        bool reached = strcmp(c.rules, "link refuse") != 0 && strcmp(c.rules, "link drip 0 1") != 0;
        std::vector<std::string> expected, requests;
        expected.assign(reached, installed ? "/updates/latest.json" : "/updates/full.json");
        expected.insert(expected.end(), c.requests.begin(), c.requests.end());
        for (const std::string& request : Requests(expected.size())) {
            requests.push_back(request.substr(0, request.find('|')));
        }
        EXPECT_EQ(requests, expected) << c.name;
        EXPECT_TRUE(c.reports.empty() || reports == c.reports) << c.name;
    }
    // No folder: refused before any request; the start line goes to the current folder.
    std::filesystem::current_path(folder);
    UpdateVerdict verdict = RunUpdateSession(L"", nullptr, nullptr);
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    EXPECT_EQ(WideToUtf8(verdict.message) + (verdict.canPlay ? " +play" : ""), kFolderUnknown);
    EXPECT_EQ(ReadBytes(folder + L"\\launcher-update.log"), "Orvane update session started.\n");
}
