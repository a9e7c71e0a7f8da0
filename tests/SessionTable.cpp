#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "ExpectedTexts.h"
#include "Harness.h"
#include "support/TextEncoding.h"
#include "update/UpdateSession.h"

// Every verdict of the update session, over the fault server (linked to 127.0.0.2).

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;  // path -> bytes
using Reports = std::vector<std::pair<uint32_t, std::string>>;
const std::string kFolder = "<folder>";  // as bytes: a folder of that name
const std::string kAbsent = "<absent>";  // as bytes after the session: no such file

void Record(uint32_t percent, const std::wstring& text, void* context) {
    static_cast<Reports*>(context)->emplace_back(percent, WideToUtf8(text));
}

Files Game(const std::string& version, Files more = {}) {
    more.insert(more.begin(), {{"Orvane.exe", "MZ game"}, {"launcher-version.txt", version + "\n"}});
    return more;
}

}  // namespace

TEST_F(InFolder, SessionVerdicts) {
    using namespace expected;
    const std::string a = TestBytes(300, 1), b = TestBytes(700, 2);
    const std::string A = Entry("a.pak", "/updates/v/a.pak", a), B = Entry("b.pak", "/updates/v/b.pak", b);
    std::string upperDigest = DigestOf(a);
    std::transform(upperDigest.begin(), upperDigest.end(), upperDigest.begin(), [](char ch) { return char(toupper(ch)); });
    const std::string upper = Entry("a.pak", "/updates/v/a.pak", a, nullptr, upperDigest);
    const std::string badA = Entry("a.pak", "/updates/v/a.pak", a, nullptr, DigestOf(b));
    const std::string noSize = Entry("a.pak", "/updates/v/a.pak", a, "0");
    const Files current = Game("1.0", {{"a.pak", a}});
    const struct {
        const char* name;
        Files before;
        std::string manifest;
        const char* rules;
        std::string verdict;
        bool canPlay;
        Files after;
        std::vector<std::string> requests;  // besides the manifest's
        Reports reports = {};                // checked when given
        const wchar_t* root = L"";           // before the game folder's path
    } cases[] = {
        {"first install, manifest 500", {}, "", "/updates/full.json status 500", kFirstFetchFailed, false, {}, {}},
        {"update, manifest 404", Game("1.0"), "", "/updates/latest.json status 404", kUpdateFetchFailed, true, {}, {}},
        {"update, 206 to the manifest", Game("1.0"), "", "/updates/latest.json status 206", kUpdateFetchFailed, true, {}, {}},
        // Windows gives up with 12002, Wine 8 with 10060, after the 30-second receive time-out.
        {"update, the manifest never answers", Game("1.0"), "", "/updates/latest.json hang", kUpdateFetchFailed, true, {}, {}},
        {"update, an empty manifest body", Game("1.0"), "", "", kManifestRejected, true, {}, {}},
        {"first install, not a manifest", {}, "<html>502</html>", "", kManifestRejected, false, {}, {}},
        {"update, not a manifest", Game("1.0"), "{\"version\": \"\"}", "", kManifestRejected, true, {}, {}},
        {"equal versions: nothing fetched or removed", Game("1.2.0"), Manifest("1.2.0", true, {A}, {"Orvane.exe"}),
         "", Current("1.2.0"), true, {{"Orvane.exe", "MZ game"}, {"a.pak", kAbsent}}, {},
         {{0, kChecking}, {100, kNothingNeeded}}},
        {"1.2.00 is another version", Game("1.2.0"), Manifest("1.2.00", false, {}), "", Updated("1.2.00"), true,
         {{"launcher-version.txt", "1.2.00\n"}}, {}, {{0, kChecking}, {100, kDone}}},
        {"a trailing blank is another version", Game("1.2.0"), Manifest("1.2.0 ", false, {}), "", Updated("1.2.0 "),
         true, {{"launcher-version.txt", "1.2.0 \n"}}, {}},
        {"1.10.0 is another version", Game("1.2.0"), Manifest("1.10.0", false, {}), "", Updated("1.10.0"), true, {}, {}},
        {"Orvane.exe without a version file is a first install", {{"Orvane.exe", "MZ"}}, Manifest("2", false, {A}), "",
         expected::Installed("2"), true, {{"a.pak", a}, {"launcher-version.txt", "2\n"}}, {"/updates/v/a.pak"}},
        {"a version file without Orvane.exe is a first install", {{"launcher-version.txt", "2\n"}},
         Manifest("2", false, {}), "", expected::Installed("2"), true, {}, {}},
        {"sizes 300 and 700 report 0 and 30", {}, Manifest("2", false, {A, B}), "", expected::Installed("2"), true,
         {{"a.pak", a}, {"b.pak", b}}, {"/updates/v/a.pak", "/updates/v/b.pak"},
         {{0, kNotInstalled}, {0, Downloading(1, 2, "a.pak")}, {30, Downloading(1, 2, "a.pak")},
          {30, Downloading(2, 2, "b.pak")}, {100, Downloading(2, 2, "b.pak")}, {100, kDone}}},
        {"entries of size 0 report (i-1)*100/n", {},
         Manifest("2", false, {noSize, Entry("b.pak", "/updates/v/b.pak", b, "0"), Entry("c/c.pak", "/updates/v/a.pak", a, "0")}),
         "", expected::Installed("2"), true, {{"c/c.pak", a}}, {"/updates/v/a.pak", "/updates/v/b.pak", "/updates/v/a.pak"},
         {{0, kNotInstalled}, {0, Downloading(1, 3, "a.pak")}, {33, Downloading(2, 3, "b.pak")},
          {66, Downloading(3, 3, "c.pak")}, {100, kDone}}},
        {"bad digest stops the update, non-mandatory", Game("1.0", {{"a.pak", "old"}}), Manifest("2", false, {badA, B}),
         "", kFileFailed, true, {{"a.pak", "old"}, {"a.pak.download", kAbsent}, {"b.pak", kAbsent}, {"launcher-version.txt", "1.0\n"}},
         {"/updates/v/a.pak"}},
        {"bad digest, mandatory", Game("1.0"), Manifest("2", true, {badA}), "", kFileFailed, false, {}, {"/updates/v/a.pak"}},
        {"bad digest, first install", {}, Manifest("2", false, {badA}), "", kFileFailed, true, {}, {"/updates/v/a.pak"}},
        {"removal refused, non-mandatory", Game("1.0", {{"old/x", "x"}}), Manifest("2", false, {}, {"old"}), "",
         kRemovalFailed, true, {{"launcher-version.txt", "1.0\n"}}, {}, {{0, kChecking}, {99, kRemoving}}},
        {"removal refused, mandatory", Game("1.0", {{"old/x", "x"}}), Manifest("2", true, {}, {"old"}), "",
         kRemovalFailed, false, {}, {}},
        {"removal refused, first install", {{"old/x", "x"}}, Manifest("2", false, {}, {"old"}), "", kRemovalFailed, true, {}, {}},
        {"version not saved, update", Game("1.0", {{"launcher-version.txt.download/x", ""}}), Manifest("2", false, {}),
         "", kVersionNotSaved, true, {{"launcher-version.txt", "1.0\n"}}, {}},
        {"version not saved, mandatory", Game("1.0", {{"launcher-version.txt.download/x", ""}}), Manifest("2", true, {}),
         "", kVersionNotSaved, false, {}, {}},
        {"version not saved, first install", {{"launcher-version.txt.download/x", ""}}, Manifest("2", false, {}), "",
         kVersionNotSaved, false, {}, {}},
        {"url of exactly /updates/", current, Manifest("2", false, {Entry("a.pak", "/updates/", a)}), "", Updated("2"), true, {}, {}},
        {"url /updates", current, Manifest("2", false, {Entry("a.pak", "/updates", a)}), "", kFileFailed, true, {}, {}},
        {"url in other letter case", {}, Manifest("2", false, {Entry("a.pak", "/Updates/v/a.pak", a)}), "", kFileFailed, true,
         {{"a.pak", kAbsent}}, {}},
        {"absolute url", {}, Manifest("2", false, {Entry("a.pak", "https://elsewhere.example/a.pak", a)}), "", kFileFailed,
         true, {}, {}},
        {"upper-case digest of a current file", current, Manifest("2", false, {upper}), "", Updated("2"), true, {}, {}},
        {"upper-case digest of a download", {}, Manifest("2", false, {upper}), "", expected::Installed("2"), true, {{"a.pak", a}},
         {"/updates/v/a.pak"}},
        {"a folder in the target's place", {{"a.pak/x", "x"}}, Manifest("2", false, {A}), "", kFileFailed, true,
         {{"a.pak/x", "x"}, {"a.pak.download", kAbsent}}, {"/updates/v/a.pak"}},
        {"a leftover download stays when the target is current", Game("1.0", {{"a.pak", a}, {"a.pak.download", "part"}}),
         Manifest("2", false, {A}), "", Updated("2"), true, {{"a.pak.download", "part"}}, {}},
        {"zero byte in a path: the live file is untouched", Game("1.0", {{"data/live.pak", "live"}}),
         Manifest("2", false, {Entry(std::string("data/live.pak\0", 14), "/updates/v/a.pak", a)}), "", kFileFailed, true,
         {{"data/live.pak", "live"}}, {}},
        {"path outside the folder", {}, Manifest("2", false, {Entry("../evil.dll", "/updates/v/a.pak", a)}), "", kFileFailed,
         true, {}, {}},
        {"drive path", {}, Manifest("2", false, {Entry("C:\\\\evil.dll", "/updates/v/a.pak", a)}), "", kFileFailed, true, {}, {}},
        // A launcher started through a long path has a "\\?\" folder, which Windows takes literally.
        {"a \\\\?\\ folder and '/' between folders", {}, Manifest("2", false, {Entry("c/d/c.pak", "/updates/v/a.pak", a)}),
         "", Installed("2"), true, {{"c/d/c.pak", a}}, {"/updates/v/a.pak"}, {}, L"\\\\?\\"},
    };
    PutServed("/updates/v/a.pak", a);
    PutServed("/updates/v/b.pak", b);
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
        Reports reports;
        UpdateVerdict verdict = RunUpdateSession(game, Record, &reports);
        std::string outcome = WideToUtf8(verdict.message) + (verdict.canPlay ? " +play" : "");
        EXPECT_EQ(outcome, c.verdict + (c.canPlay ? " +play" : "")) << c.name;
        for (const auto& [path, bytes] : c.after) {
            EXPECT_EQ(FileExists(InPath(game, path)), bytes != kAbsent) << c.name << ": " << path;
            EXPECT_TRUE(bytes == kAbsent || ReadBytes(InPath(game, path)) == bytes) << c.name << ": " << path;
        }
        std::vector<std::string> expected = {installed ? "/updates/latest.json" : "/updates/full.json"}, requests;
        expected.insert(expected.end(), c.requests.begin(), c.requests.end());
        for (const std::string& request : Requests(expected.size())) {
            requests.push_back(request.substr(0, request.find('|')));
        }
        EXPECT_EQ(requests, expected) << c.name;
        if (!c.reports.empty()) {
            EXPECT_EQ(reports, c.reports) << c.name;
        }
    }
    // No folder: refused before any request; the start line goes to the current folder.
    std::filesystem::current_path(folder);
    UpdateVerdict verdict = RunUpdateSession(L"", nullptr, nullptr);
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    EXPECT_EQ(WideToUtf8(verdict.message) + " " + std::to_string(verdict.canPlay), kFolderUnknown + " 0");
    EXPECT_EQ(ReadBytes(folder + L"\\launcher-update.log"), "Orvane update session started.\n");
}
