#include <string>
#include <vector>

#include "ExpectedTexts.h"
#include "Harness.h"
#include "support/TextEncoding.h"
#include "update/UpdateSession.h"

// The shipped nginx site configuration (https://localhost) serving a first installation, an update
// and a resumed download, as players meet them.

TEST_F(InFolder, NginxInstallUpdateResume) {
    ResetServers();
    const std::string big = TestBytes(3 * 1048576 + 5, 10), big2 = TestBytes(1048576 + 9, 11);
    PutServed(Server::Nginx, "/updates/1.0/harbor.pak", big);
    PutServed(Server::Nginx, "/updates/1.1/harbor.pak", big2);
    PutServed(Server::Nginx, "/updates/1.0/Orvane.exe", "MZ game");
    PutServed(Server::Nginx, "/updates/1.0/readme.txt", "Привет");
    const std::string game = Entry("Orvane.exe", "/updates/1.0/Orvane.exe", "MZ game");
    const std::string readme = Entry("readme.txt", "/updates/1.0/readme.txt", "Привет");
    // A first installation that an earlier start left half done: the big file resumes from its partial copy.
    WriteBytes(InPath(folder, "Content/Карты/гавань.pak.download"), big.substr(0, 1234567));
    PutServed(Server::Nginx, "/updates/full.json",
              Manifest("1.0", false, {game, Entry("Content/Карты/гавань.pak", "/updates/1.0/harbor.pak", big), readme}));
    UpdateVerdict verdict = RunUpdateSession(folder, nullptr, nullptr);
    EXPECT_EQ(WideToUtf8(verdict.message), expected::Installed("1.0"));
    EXPECT_TRUE(verdict.canPlay);
    EXPECT_TRUE(ReadBytes(InPath(folder, "Content/Карты/гавань.pak")) == big);
    EXPECT_FALSE(FileExists(InPath(folder, "Content/Карты/гавань.pak.download")));
    EXPECT_EQ(ReadBytes(folder + L"\\launcher-version.txt"), "1.0\n");
    std::vector<ServedRequest> served = Requests(Server::Nginx, 4);
    ASSERT_EQ(served.size(), 4u);
    EXPECT_EQ(served[2].range, "bytes=1234567-");
    EXPECT_EQ(served[2].status, 206);
    EXPECT_EQ(served[2].bodyBytes, big.size() - 1234567) << "only the missing bytes crossed the network";

    // The update changes one file (its folder renamed by letter case only) and retires another.
    ResetServers();
    PutServed(Server::Nginx, "/updates/latest.json",
              Manifest("1.1", true, {game, Entry("content/Карты/гавань.pak", "/updates/1.1/harbor.pak", big2)},
                       {"readme.txt"}));
    verdict = RunUpdateSession(folder, nullptr, nullptr);
    EXPECT_EQ(WideToUtf8(verdict.message), expected::Updated("1.1"));
    EXPECT_TRUE(ReadBytes(InPath(folder, "Content/Карты/гавань.pak")) == big2);
    EXPECT_FALSE(FileExists(folder + L"\\readme.txt"));
    EXPECT_EQ(RequestedPaths(Server::Nginx, 2), (std::vector<std::string>{"/updates/latest.json", "/updates/1.1/harbor.pak"}));
    EXPECT_EQ(LogLines(folder).back(), "Deleted obsolete file: " + WideToUtf8(folder) + "\\readme.txt");
}
