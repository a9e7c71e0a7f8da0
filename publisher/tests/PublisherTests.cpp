#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
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

class Publisher : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("orvane-publisher-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        build = root / "build";
        served = root / "served";
    }
    void TearDown() override { fs::remove_all(root); }

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

TEST_F(Publisher, RefusesBeforeWritingAnything) {
    Write(build / "a.txt", "1");
    Write(build / "A.TXT", "2");
    EXPECT_FALSE(PublishVersion("1.0"));
    EXPECT_NE(error.find("A.TXT"), std::string::npos) << error;
    EXPECT_NE(error.find("a.txt"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(served));

    fs::remove(build / "A.TXT");
    Write(build / "bad]name.pak", "x");
    EXPECT_FALSE(PublishVersion("1.0"));
    EXPECT_NE(error.find("bad]name.pak"), std::string::npos) << error;

    fs::remove(build / "bad]name.pak");
    EXPECT_FALSE(PublishVersion("1.0\"evil"));
    EXPECT_FALSE(fs::exists(served));
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

TEST_F(Publisher, VerifyFindsDamageAndPruneKeepsWhatIsUsed) {
    Write(build / "a.pak", "version one");
    ASSERT_TRUE(PublishVersion("1"));
    Write(build / "a.pak", "version two");
    ASSERT_TRUE(PublishVersion("2"));
    Write(build / "a.pak", "version three");
    ASSERT_TRUE(PublishVersion("3"));
    EXPECT_EQ(std::distance(fs::directory_iterator(served / "updates" / "blobs"), fs::directory_iterator()), 3);

    std::vector<std::string> removed;
    ASSERT_TRUE(Prune(served, 2, 1, removed, error));
    EXPECT_EQ(removed.size(), 1u);
    std::vector<std::string> problems;
    EXPECT_TRUE(Verify(served, problems));

    std::string url = WideToUtf8(Scan(served).files[0].url);
    Write(served / url.substr(1), "version 3!!!!");  // same size, other bytes
    problems.clear();
    EXPECT_FALSE(Verify(served, problems));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("SHA-256"), std::string::npos);
}
