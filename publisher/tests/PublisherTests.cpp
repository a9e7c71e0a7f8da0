#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "publisher/Publisher.h"
#include "support/TextEncoding.h"
#include "update/Manifest.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

UpdateManifest Scan(const fs::path& root) {
    UpdateManifest manifest;
    EXPECT_TRUE(ParseManifest(Read(root / "updates" / "latest.json"), manifest));
    return manifest;
}

std::vector<std::string> Utf8(const std::vector<std::wstring>& wide) {
    std::vector<std::string> out;
    for (const std::wstring& w : wide) {
        out.push_back(WideToUtf8(w));
    }
    return out;
}

// Every file below the folder with its bytes, but not the lock file (taking a lock is not writing).
std::string Snapshot(const fs::path& folder) {
    std::string all;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::string name = fs::relative(entry.path(), folder).string();
        if (entry.is_regular_file() && name.rfind("B/", 0) != 0 && name != "out" && name != "err" &&
            entry.path().filename() != "publish.lock") {
            all += name + "\n" + Read(entry.path()) + "\n";
        }
    }
    return all;
}

class Publisher : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("orvane-publisher-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        build = root / "build";
        served = root / "served";
    }
    void TearDown() override {
        fs::remove_all(root);
        fs::remove_all(served.parent_path());
    }

    bool PublishVersion(const std::string& version, bool mandatory = false) {
        error.clear();
        return Publish(build, served, PublishOptions{version, mandatory, false, 1}, error);
    }

    fs::path root, build, served;
    std::string error;
};

}  // namespace

TEST(PublisherRules, PathTable) {
    const struct {
        const char* path;
        bool ok;
    } cases[] = {
        {"Orvane.exe", true},
        {"Content/Карты/Гавань 2.umap", true},
        {"a/b/c/d/e/f/g/h.pak", true},
        {"version", true},
        {"files", true},
        {"Content/[bracket {brace.pak", true},
        {"a\"b", false},
        {"a\\b", false},
        {"a]b", false},
        {"a}b", false},
        {"a:b", false},
        {"a\tb", false},
        {"bad\xC3\x28", false},
        {"Content/CON.txt", false},
        {"nul", false},
        {"trailing.", false},
        {"trailing ", false},
        {"/abs", false},
        {"a//b", false},
        {"a/../b", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PathProblem(c.path).empty(), c.ok) << c.path << ": " << PathProblem(c.path);
    }
    EXPECT_EQ(WindowsNameKey("Content/Readme.TXT"), WindowsNameKey("content\\README.txt"));
    EXPECT_EQ(WindowsNameKey("Карта"), WindowsNameKey("КАРТА")) << "Windows folds Cyrillic case too";
    for (const char* bad : {"", "1.0\n", "1\"0", "1\\0", "1]0", "1}0", "\xFF"}) {
        EXPECT_FALSE(VersionProblem(bad).empty()) << bad;
    }
    EXPECT_TRUE(VersionProblem("1.4.0-бета").empty());
}

TEST_F(Publisher, ManifestReadsBackAndFilesAreStoredOnce) {
    Write(build / "Orvane.exe", "MZ game");
    Write(build / "version", "a file named like a key");
    Write(build / "files", "another");
    Write(build / "url" / "sha256", "and a folder");
    Write(build / "Content" / "Карты" / "Гавань 2.umap", "same bytes");
    Write(build / "Content" / "copy.umap", "same bytes");
    Write(build / "empty.dat", "");
    ASSERT_TRUE(PublishVersion("1.0", true)) << error;

    UpdateManifest m = Scan(served);
    EXPECT_EQ(WideToUtf8(m.version), "1.0");
    EXPECT_TRUE(m.mandatory);
    ASSERT_EQ(m.files.size(), 7u);
    std::vector<std::string> paths;
    for (const ManifestFile& f : m.files) {
        paths.push_back(WideToUtf8(f.path));
        std::string url = WideToUtf8(f.url);
        ASSERT_EQ(url.rfind("/updates/blobs/", 0), 0u);
        EXPECT_EQ(Read(served / url.substr(1)), Read(build / WideToUtf8(f.path)));
        EXPECT_EQ(fs::file_size(served / url.substr(1)), f.size);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"Content/copy.umap", "Content/Карты/Гавань 2.umap", "Orvane.exe",
                                               "empty.dat", "files", "url/sha256", "version"}));
    EXPECT_EQ(m.files[0].url, m.files[1].url) << "equal bytes are stored once";
    EXPECT_EQ(Read(served / "updates" / "full.json"), Read(served / "updates" / "latest.json"));
    EXPECT_FALSE(fs::exists(served / "updates" / "latest.json.tmp"));
    std::vector<std::string> problems;
    EXPECT_TRUE(Verify(served, problems));
}

TEST_F(Publisher, ObsoletePathsSpanSkippedVersionsAndIgnoreCase) {
    Write(build / "Orvane.exe", "v1");
    Write(build / "Content" / "Readme.txt", "readme");
    Write(build / "Content" / "intro.mp4", "intro");
    Write(build / "old.pak", "old");
    ASSERT_TRUE(PublishVersion("1.0")) << error;
    EXPECT_TRUE(Scan(served).deletedFiles.empty());

    fs::remove(build / "old.pak");
    ASSERT_TRUE(PublishVersion("1.1")) << error;
    EXPECT_EQ(Utf8(Scan(served).deletedFiles), std::vector<std::string>{"old.pak"});

    // Renamed by letter case only: the same file to Windows, so it must never be listed as obsolete.
    fs::rename(build / "Content", build / "content");
    fs::rename(build / "content" / "Readme.txt", build / "content" / "README.txt");
    fs::remove(build / "content" / "intro.mp4");
    ASSERT_TRUE(PublishVersion("1.2")) << error;
    UpdateManifest m = Scan(served);
    EXPECT_EQ(Utf8(m.deletedFiles), (std::vector<std::string>{"Content/intro.mp4", "old.pak"}))
        << "a player who skipped 1.1 still loses old.pak";
    std::vector<std::string> problems;
    EXPECT_TRUE(Verify(served, problems));
}

TEST_F(Publisher, NamesLikeKeysReadBackAndMisreadsAreCaught) {
    // The obsolete list's key named as a file, before the real key: the layout still reads right.
    Write(build / "deletedFiles", "x");
    Write(build / "old.pak", "y");
    ASSERT_TRUE(PublishVersion("1.0")) << error;
    fs::remove(build / "old.pak");
    ASSERT_TRUE(PublishVersion("1.1")) << error;
    UpdateManifest m = Scan(served);
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(WideToUtf8(m.files[0].path), "deletedFiles");
    EXPECT_EQ(Utf8(m.deletedFiles), std::vector<std::string>{"old.pak"});

    // The read-back compares every field, so a text the launcher would misread is refused.
    std::vector<BuildFile> files = {{"a.pak", std::string(64, 'a'), 3}};
    std::string text = ManifestText("2", false, files, {});
    EXPECT_EQ(ReadBackProblem(text, "2", false, files, {}), "");
    std::string misread = text;
    misread.replace(misread.find("\"size\": 3"), 10, "\"size\": 4");
    EXPECT_NE(ReadBackProblem(misread, "2", false, files, {}), "");
    EXPECT_NE(ReadBackProblem(text, "2", true, files, {}), "");
    EXPECT_NE(ReadBackProblem(text, "2", false, files, {"x"}), "");
}

TEST_F(Publisher, VerifyFindsAStoredFileWithOtherBytes) {
    Write(build / "a.pak", "version one");
    ASSERT_TRUE(PublishVersion("1"));
    std::vector<std::string> problems;
    EXPECT_TRUE(Verify(served, problems));
    Write(served / WideToUtf8(Scan(served).files[0].url).substr(1), "version 1!!");  // same size, other bytes
    EXPECT_FALSE(Verify(served, problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("SHA-256"), std::string::npos);
}

// The rows run in order against one served tree S, as a pipeline would: each an invocation of the real
// program and what it must answer. A row with files first replaces the build B with them.
TEST_F(Publisher, CommandLineTable) {
    const std::string deep = std::string(120, 'x') + "/" + std::string(126, 'y');  // 256 units with ".download"
    const std::string warned = std::string(100, 'x') + "/" + std::string(80, 'y');
    const struct {
        std::string build, args;
        int exit;
        std::string out, err;
        bool writes;
    } rows[] = {
        {"a.pak=one;b.pak=same;old.pak=old", "publish --build B --version 1 --madatory --served S", 2, "", "--madatory", 0},
        {"", "publish --build B --version 1 --served S --keep 3", 2, "", "--keep", 0},
        {"", "publish --build B --served S --version", 2, "", "--version", 0},
        {"", "publish --build B --version 1 --served S --lock-timeout soon", 2, "", "--lock-timeout", 0},
        {"", "publish --build B --version 1 --served S", 0, "", "published 1: 3 files", 1},
        {"", "publish --build B --version 1 --served S", 0, "nothing to do", "", 0},
        {"a.pak=two;b.pak=same;new.pak=new!", "publish --build B --version 2 --served S --dry-run", 0,
         "1 new, 1 changed, 1 unchanged, 1 obsolete\n  to store: 2 files, 7 bytes\n  a player on 1 downloads 2 files, 7 bytes", "", 0},
        {"", "publish --build B --version 1 --served S", 1, "", "version 1 is already published with other files", 0},
        {"", "publish --build B --version 2 --mandatory --served S", 0, "", "published 2: 3 files, 1 obsolete", 1},
        {"", "publish --build B --version 2 --served S", 1, "", "another mandatory flag", 0},
        {"", "rollback --to 1 --version 3 --served S", 0, "", "published 3: 3 files, 1 obsolete", 1},
        {"", "verify --served S", 0, "", "verified S", 0},
        {"", "history --served S", 0, "2             mandatory      3 files             11 bytes  20", "", 0},
        {"", "prune --served S --keep abc", 2, "", "--keep", 0},
        {"", "prune --served S --keep 0", 2, "", "--keep", 0},
        {"", "prune --served S --force", 2, "", "--force", 0},
        {"", "prune --served S --keep 1", 0, "", "removed 2 stored files", 1},
        {"", "rollback --to 2 --version 4 --served S", 1, "", "removed its stored files a.pak, new.pak", 0},
        {"", "rollback --to 9 --version 4 --served S", 1, "", "no version 9", 0},
        {"", "verify --served S --bogus", 2, "", "--bogus", 0},
        {"", "history --served S extra", 2, "", "extra", 0},
        {"", "rollback --to 1 --served S", 2, "", "--version", 0},
        {std::string(kLauncherExe) + "=MZ;a.pak=x", "publish --build B --version 5 --served S", 1, "",
         std::string(kLauncherExe) + ": the launcher cannot replace its own program", 0},
        {deep + "=z", "publish --build B --version 5 --served S", 1, "", deep + ": 256 UTF-16 units", 0},
        {"a.txt=1;A.TXT=2", "publish --build B --version 5 --served S", 1, "", "A.TXT: one name to Windows", 0},
        {"bad]name.pak=x", "publish --build B --version 5 --served S", 1, "", "bad]name.pak", 0},
        {"a.pak=x", "publish --build B --version 'v}' --served S", 1, "", "the version must be one line", 0},
        {warned + "=z", "publish --build B --version 5 --served S", 0, "", "warning: " + warned + ": 190 UTF-16", 1},
        {"", "publish --build B --version 6 --served bad", 1, "", "bad/publish-history.json is damaged", 0},
        {"", "verify --served bad", 1, "", "bad/publish-history.json is damaged", 0},
        {"", "history --served bad", 1, "", "bad/publish-history.json is damaged", 0},
        {"", "history --served old", 0, "0.9           optional       0 files              0 bytes  (time not recorded)", "", 0},
        // Two at once: the second waits for the first, and both versions stay in the history.
        {"", "publish --build B --version 7 --served S & " ORVANE_PUBLISH " publish --build B --version 8 --served S; "
             "wait; grep -c '\"version\"' S/publish-history.json", 0, "6\n", "published 8", 1},
        {"", "prune --served held --lock-timeout 0.2", 1, "", "another publish, prune or rollback holds", 0},
        {"", "publish --help", 0, "--dry-run", "", 0},
        {"", "rollback --help", 0, "--to", "", 0},
        {"", "prune --help", 0, "--keep", "", 0},
        {"", "verify --help", 0, "--served", "", 0},
        {"", "history --help", 0, "--served", "", 0},
    };
    Write(root / "bad" / "publish-history.json", "[{\"version\": \"1\", \"files\": 3");
    Write(root / "old" / "publish-history.json", "[{\"version\": \"0.9\", \"mandatory\": false, \"files\": []}]");
    fs::create_directories(root / "held");
    int held = ::open((root / "held" / "publish.lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    for (const auto& row : rows) {
        if (!row.build.empty()) {
            fs::remove_all(root / "B");
            for (size_t start = 0, end; start < row.build.size(); start = end + 1) {
                end = std::min(row.build.find(';', start), row.build.size());
                size_t equals = row.build.find('=', start);
                Write(root / "B" / row.build.substr(start, equals - start), row.build.substr(equals + 1, end - equals - 1));
            }
        }
        std::string before = Snapshot(root);
        int status = std::system(("cd " + root.string() + " && { " ORVANE_PUBLISH " " + row.args + "; } >out 2>err").c_str());
        EXPECT_EQ(WEXITSTATUS(status), row.exit) << row.args << "\n" << Read(root / "err");
        EXPECT_NE(Read(root / "out").find(row.out), std::string::npos) << row.args << "\n" << Read(root / "out");
        EXPECT_NE(Read(root / "err").find(row.err), std::string::npos) << row.args << "\n" << Read(root / "err");
        EXPECT_EQ(Snapshot(root) != before, row.writes) << row.args;
    }
    ::close(held);
}

// Killed at any moment, a publish leaves the tree serving the earlier version or the new one, whole,
// and the next run completes it.
TEST_F(Publisher, KilledAnywhereServesOneWholeVersion) {
    // A kill leaves the page cache intact, so this tests the order of renames, not flushing: in memory
    // it runs in a second, where a disk's flushes would take it to many.
    if (fs::is_directory("/dev/shm")) {
        build = fs::path("/dev/shm") / root.filename() / "build";
        served = build.parent_path() / "served";
    }
    unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    for (int i = 0; i < 300; ++i) {
        Write(build / "Content" / (std::to_string(i) + ".pak"), std::string(1000 + random() % 3000, 'a' + i % 26));
    }
    ASSERT_TRUE(PublishVersion("0")) << error;
    for (int round = 1; round <= 20; ++round) {
        for (int i = round; i < 300; i += 25) {
            Write(build / "Content" / (std::to_string(i) + ".pak"), std::to_string(round) + std::string(i, 'r'));
        }
        std::string version = std::to_string(round);
        pid_t child = ::fork();
        if (child == 0) {
            ::dup2(::open("/dev/null", O_WRONLY), STDERR_FILENO);
            ::execl(ORVANE_PUBLISH, ORVANE_PUBLISH, "publish", "--build", build.c_str(), "--version", version.c_str(),
                    "--served", served.c_str(), nullptr);
            ::_exit(127);
        }
        ::usleep(static_cast<useconds_t>(random() % 40000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        std::vector<std::string> problems;
        EXPECT_TRUE(Verify(served, problems)) << "seed " << seed << ", round " << round << ": " << problems[0];
        std::string servedVersion = WideToUtf8(Scan(served).version);
        EXPECT_TRUE(servedVersion == version || servedVersion == std::to_string(round - 1)) << servedVersion;
        ASSERT_TRUE(PublishVersion(version)) << error;
        EXPECT_EQ(WideToUtf8(Scan(served).version), version);
    }
}
