#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
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
    return std::string(std::istreambuf_iterator<char>(std::ifstream(file, std::ios::binary).rdbuf()), {});
}

UpdateManifest Scan(const fs::path& served) {
    UpdateManifest manifest;
    EXPECT_TRUE(ParseManifest(Read(served / "updates" / "latest.json"), manifest));
    return manifest;
}

// What the launcher reads from the served manifests, as "version[ mandatory]: path=bytes ... | obsolete ...",
// the bytes being those its url serves.
std::string Served(const fs::path& served) {
    EXPECT_EQ(Read(served / "updates" / "full.json"), Read(served / "updates" / "latest.json"));
    EXPECT_FALSE(fs::exists(served / "updates" / "latest.json.tmp"));
    UpdateManifest m = Scan(served);
    std::string text = WideToUtf8(m.version) + (m.mandatory ? " mandatory:" : ":");
    std::map<std::string, std::wstring> urls;
    for (const ManifestFile& f : m.files) {
        std::string bytes = Read(served / WideToUtf8(f.url).substr(1));
        EXPECT_EQ(bytes.size(), f.size) << WideToUtf8(f.path);
        EXPECT_EQ(urls.emplace(bytes, f.url).first->second, f.url) << "equal bytes are stored once";
        text += " " + WideToUtf8(f.path) + "=" + bytes;
    }
    text += " |";
    for (const std::wstring& path : m.deletedFiles) {
        text += " " + WideToUtf8(path);
    }
    return text;
}

// Every file below the folder with its bytes, but not the build B, the command's output B.out and B.err,
// or lock files (taking a lock is not writing).
std::map<std::string, std::string> Snapshot(const fs::path& folder) {
    std::map<std::string, std::string> all;  // sorted: a folder's order changes when an entry is made anew
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        std::string name = fs::relative(entry.path(), folder).string();
        if (entry.is_regular_file() && name[0] != 'B' && entry.path().filename() != "publish.lock") {
            all[name] = Read(entry.path());
        }
    }
    return all;
}

// Each test in its own folder, in memory where there is some: a kill leaves the page cache intact, so
// the kill test checks the order of renames, not flushing, and runs in a second where a disk's flushes
// would take it to many.
class Publisher : public ::testing::Test {
protected:
    void SetUp() override { fs::remove_all(root); }
    void TearDown() override { fs::remove_all(root); }
    const fs::path root = (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                          ("orvane-publisher-" + std::to_string(::getpid()));
};

}  // namespace

// Each text with what it may stand as: P a path in a build, V a version label. Names with Cyrillic letters
// and blanks, or like the manifest's keys, are published in the command-line table.
TEST(PublisherRules, Names) {
    const std::pair<const char*, const char*> texts[] = {
        {"Orvane.exe", "PV"}, {"a/b/c/d/e/f/g/h.pak", "PV"}, {"Content/[bracket {brace.pak", "PV"}, {"1.0-бета", "PV"},
        {"a\"b", ""}, {"a\\b", ""}, {"a]b", ""}, {"a}b", ""}, {"a\tb", ""}, {"bad\xC3\x28", ""}, {"", ""}, {"1\n", ""},
        {"a:b", "V"}, {"Content/CON.txt", "V"}, {"nul", "V"}, {"trailing.", "V"}, {"trailing ", "V"}, {"/abs", "V"},
        {"a//b", "V"}, {"a/../b", "V"}, {"COM0", "V"}, {"LPT0", "V"}, {"LPT\u00B9", "V"}, {"COM\u00B2.txt", "V"},
        {"Content/CON .txt", "V"}, {"console.txt", "PV"}};
    for (const auto& [t, may] : texts) {
        EXPECT_EQ(std::string(PathProblem(t).empty() ? "P" : "") + (VersionProblem(t).empty() ? "V" : ""), may) << t;
    }
    // Letter case, Cyrillic too, is folded in the command-line table.
    EXPECT_EQ(WindowsNameKey("Content/Readme.txt"), WindowsNameKey("Content\\Readme.txt"));
}

// The read-back compares every field, so a text the launcher would misread is refused. (That a text as
// written reads back is shown by every publish of the command-line table.)
TEST(PublisherRules, ReadBackRefusesAMisreadManifest) {
    std::vector<BuildFile> files = {{"a.pak", std::string(64, 'a'), 3}};
    std::string text = ManifestText("2", false, files, {});
    EXPECT_NE(ReadBackProblem(text, "2", true, files, {}), "");
    EXPECT_NE(ReadBackProblem(text, "2", false, files, {"x"}), "");
    text.replace(text.find("\"size\": 3"), 9, "\"size\": 4");
    EXPECT_NE(ReadBackProblem(text, "2", false, files, {}), "");
    // Launchers read a manifest of 256 MiB and refuse one byte more unread.
    std::string padded = ManifestText("2", false, files, {});
    padded.resize(268435456, ' ');
    EXPECT_EQ(ReadBackProblem(padded, "2", false, files, {}), "");
    padded.push_back(' ');
    EXPECT_NE(ReadBackProblem(padded, "2", false, files, {}).find("is 268435457 bytes"), std::string::npos);
}

// The rows run in order against one served tree S, as a pipeline would: each an invocation of the real
// program and what it must answer. A row with files first replaces the build B with them; a row with a
// last column checks what the launcher then reads from S (see Served).
TEST_F(Publisher, CommandLineTable) {
    const std::string deep = std::string(120, 'x') + "/" + std::string(126, 'y');  // 256 units with ".download"
    const std::string warned = std::string(100, 'x') + "/" + std::string(80, 'y');
    const struct { std::string build, args; int exit; std::string out, err; bool wrote; std::string read{}; } rows[] = {
        // A mistyped, missing or out-of-range option stops the command before anything else (the build comes
        // with a later row); --help is no error.
        {"", "publish --build B --version 1 --madatory --served S", 2, "", "--madatory", 0},
        {"", "publish --build B --version 1 --served S --lock-timeout 90000", 2, "", "--lock-timeout", 0},
        {"", "rollback --to 1 --served S", 2, "", "--version", 0}, {"", "publish --help", 0, "--dry-run", "", 0},
        {"", "prune --served S --keep -1", 2, "", "--keep", 0}, {"", "prune --served S --keep 0", 2, "", "--keep", 0},
        {"a.pak=one;b.pak=same;old.pak=old", "publish --build B --version 1 --served S", 0, "",
         "published 1: 3 files", 1, "1: a.pak=one b.pak=same old.pak=old |"},
        {"", "publish --build B --version 1 --served S", 0, "nothing to do", "", 0},
        {"a.pak=two;b.pak=same;new.pak=new!", "publish --build B --version 2 --served S --dry-run", 0,
         "1 new, 1 changed, 1 unchanged, 1 obsolete\n  to store: 2 files, 7 bytes\n"
         "  a player on 1 downloads 2 files, 7 bytes", "", 0},
        {"", "publish --build B --version 1 --served S", 1, "", "version 1 is already published with other files", 0},
        {"", "publish --build B --version 2 --mandatory --served S", 0, "", "published 2: 3 files, 1 obsolete", 1,
         "2 mandatory: a.pak=two b.pak=same new.pak=new! | old.pak"},
        {"", "publish --build B --version 2 --served S", 1, "", "another mandatory flag", 0},
        {"", "rollback --to 1 --version 3 --served S", 0, "", "published 3: 3 files, 1 obsolete", 1,
         "3: a.pak=one b.pak=same old.pak=old | new.pak"},
        {"", "history --served S", 0, "2             mandatory      3 files             11 bytes  20", "", 0},
        {"", "prune --served S --keep 1", 0, "", "removed 2 stored files", 1},
        {"", "rollback --to 2 --version 4 --served S", 1, "", "removed its stored files a.pak, new.pak", 0},
        {"", "rollback --to 9 --version 4 --served S", 1, "", "no version 9", 0},
        {std::string(kLauncherExe) + "=MZ;a.pak=x", "publish --build B --version 5 --served S", 1, "",
         std::string(kLauncherExe) + ": the launcher cannot replace or delete its own program", 0},
        {deep + "=z", "publish --build B --version 5 --served S", 1, "", deep + ": 256 UTF-16 units", 0},
        {"a.txt=1;A.TXT=2", "publish --build B --version 5 --served S", 1, "", "A.TXT: one name to Windows", 0},
        {"bad]name.pak=x", "publish --build B --version 5 --served S", 1, "", "bad]name.pak", 0},
        {"a.pak=x", "publish --build B --version 'v}' --served S", 1, "", "the version must be one line", 0},
        // Names like the manifest's keys, in an order only a sorted list keeps; equal bytes; an empty file.
        {"Content/Readme.txt=r;Content/Карты/Гавань 2.umap=;files=same;url=u;version=same;old.pak=old",
         "publish --build B --version 5 --served S", 0, "", "published 5: 6 files", 1,
         "5: Content/Readme.txt=r Content/Карты/Гавань 2.umap= files=same old.pak=old url=u version=same"
         " | a.pak b.pak new.pak"},
        // A file named like the obsolete list's key stands before the real key.
        {"Content/Readme.txt=r;deletedFiles=d", "publish --build B --version 6 --served S", 0, "", "published 6", 1,
         "6: Content/Readme.txt=r deletedFiles=d | a.pak b.pak Content/Карты/Гавань 2.umap files new.pak old.pak"
         " url version"},
        // One unreadable stored file (a link, which is never followed) is named, and the others still pass.
        {"", "verify --served S >/dev/null && f=$(grep -o '[0-9a-f]\\{64\\}' S/updates/latest.json | head -1) && mv S/updates/blobs/$f c && ln -s $PWD/c "
             "S/updates/blobs/$f && echo count; $P verify --served S 2>&1 | grep -c 'does not match\\|cannot be read'; "
             "rm S/updates/blobs/$f; mv c S/updates/blobs/$f", 0, "count\n1\n", "", 0},
        // Obsolete paths span every earlier version, never one Windows takes for a current path (letter case,
        // which Windows folds for Cyrillic letters too).
        {"content/README.txt=r;CONTENT/КАРТЫ/ГАВАНЬ 2.umap=", "publish --build B --version 7 --served S", 0, "",
         "published 7", 1, "7: CONTENT/КАРТЫ/ГАВАНЬ 2.umap= content/README.txt=r | a.pak b.pak deletedFiles files"
         " new.pak old.pak url version"},
        // Verify passes; then a stored file changed in place at the same size: only reading its bytes finds it.
        {"", "verify --served S && sed -i s/r/R/ S/updates/blobs/* && $P verify --served S", 1, "",
         "verified S\norvane-publish: content/README.txt: stored file does not match its SHA-256", 1},
        {warned + "=z", "publish --build B --version 8 --served S", 0, "", "warning: " + warned + ": 190 UTF-16", 1},
        {"", "publish --build B --version 9 --served bad", 1, "", "bad/publish-history.json is damaged", 0},
        {"", "verify --served bad", 1, "", "bad/publish-history.json is damaged", 0},
        {"", "history --served bad", 1, "", "bad/publish-history.json is damaged", 0},
        {"", "history --served old", 0, "optional       0 files              0 bytes  (time not recorded)", "", 0},
        // Two at once: the second waits for the first, and both versions stay in the history.
        {"", "publish --build B --version 9 --served S & $P publish --build B --version 10 --served S; wait; "
             "grep -c '\"version\":' S/publish-history.json", 0, "9\n", "published 10", 1},
        // While another process holds the lock, a prune gives up when its time is out.
        {"", "prune --served held --lock-timeout 0", 1, "", "another publish, prune or rollback holds", 0},
        // Signed manifests: a key made once and never overwritten; once signed, never unsigned again; a rollback
        // raises the serial; verify finds a manifest changed after signing, and an unsigned one.
        {"a.pak=signed", "keygen --out k", 0, "", "wrote k (the private key", 1},
        {"", "keygen --out k", 1, "", "k exists", 0},
        {"", "publish --build B --version 1 --served K --signing-key k && $P verify --served K --public-key k.pub", 0, "",
         "signed with serial ", 1},
        {"", "publish --build B --version 2 --served K", 1, "", "the versions here are signed (1 with serial", 0},
        {"", "rollback --to 1 --version 2 --served K --signing-key k && grep -o '\"serial\": [0-9]*' K/publish-history.json | "
             "awk '{print $2}' | sort -c -n -u && echo raised", 0, "raised", "", 1},
        {"", "publish --build B --version 2 --served K --signing-key k", 0, "nothing to do", "", 0},
        {"", "verify --served K --public-key k.pub && sed -i 's/\"serial\": \\([0-9]*\\)/\"serial\": 1\\1/' "
             "K/updates/latest.json && $P verify --served K --public-key k.pub", 1, "",
         "latest.json: its signature does not verify with the key", 1},
        // Run again, the publish serves its version signed anew.
        {"", "publish --build B --version 2 --served K --signing-key k && $P verify --served K --public-key k.pub", 0, "",
         "completed serving 2\nverified K", 1},
        // A history restored from a backup two versions old still gives a serial above those launchers have seen.
        {"", "history --served K >/dev/null && cp K/publish-history.json h0 && cp K/updates/latest.json l0 && $P publish "
             "--build B --version 3 --served K --signing-key k && $P publish --build E --version 4 --served K --signing-key k "
             "--allow-empty && a=$(grep -o 'serial\": [0-9]*' K/updates/latest.json | cut -c10-) && cp h0 K/publish-history.json "
             "&& cp l0 K/updates/latest.json && cp l0 K/updates/full.json && $P publish --build E --version 5 --served K "
             "--signing-key k --allow-empty && [ $(grep -o 'serial\": [0-9]*' K/updates/latest.json | cut -c10-) -gt $a ] && "
             "echo above", 0, "above", "", 1},
        // Another key only when meant; a version published unsigned is never signed after the fact.
        {"", "keygen --out k2 && $P publish --build E --version 6 --served K --signing-key k2 --allow-empty", 1, "",
         "this key is not the one that signed 5", 1},
        {"", "publish --build E --version 6 --served K --signing-key k2 --allow-empty --switch-key && $P verify --served K "
             "--public-key k2.pub", 0, "", "verified K", 1},
        {"", "publish --build B --version 1 --served S --signing-key k", 1, "", "version 1 is published unsigned", 0},
        // A verify finds a replayed manifest of an earlier signed version.
        {"", "history --served K >/dev/null && cp l0 K/updates/latest.json && $P verify --served K --public-key k.pub", 1, "", "of a version recorded after it",
         1},
        {"", "verify --served S --public-key k.pub", 1, "", "latest.json: not signed; players' launchers refuse it", 0},
        // A missing value never swallows the option after it; an empty path or a mistyped command is a usage error.
        {"a.pak=x", "publish --build B --version --dry-run --served S", 2, "", "--version: must not begin with '-'", 0},
        {"", "publish --build B --version 11 --served --dry-run", 2, "", "--served", 0},
        {"", "publish --build '' --version 11 --served S", 2, "", "--build: must not be empty", 0},
        {"", "pubish --build B", 2, "", "commands: publish, rollback, verify, prune, history, keygen, check", 0},
        // Versions no player on an earlier one could install, or that would reach no one.
        {"a.pak/inner=x", "publish --build B --version 11 --served S", 1, "",
         "a.pak/inner needs a folder a.pak, but version 3 has a file a.pak", 0},
        {"CONTENT=x", "publish --build B --version 11 --served S", 1, "", "CONTENT is a file, but version 7 has a folder", 0},
        {"", "rollback --to 1 --version 1 --served S", 1, "", "is already published, and ", 0},
        {"", "history --served evil", 1, "", "damaged (version 1 holds the path '../../evil.dll'", 0},
        {"", "publish --build B --version 2 --served exe", 1, "", "holds the path '" + std::string(kLauncherExe), 0},
        // Slips of a pipeline: nested folders, an empty build (allowed only when asked for), a link named as it
        // stands, paths that are files, folders that do not exist.
        {"", "publish --build B --version 11 --served B/s", 1, "", "must be apart", 0},
        {"", "publish --build E --version 11 --served S", 1, "", "holds no files", 0},
        {"", "publish --build E --version 1 --served T --allow-empty", 0, "", "published 1: 0 files", 1},
        {"a.pak=x", "history --served S && ln -s a.pak B/link.pak && $P publish --build B --version 11 --served S", 1, "", "link.pak: symbolic", 0},
        {"", "history --served B.err", 1, "", "B.err is not a folder", 0},
        {"launcher-version.txt=9", "publish --build B --version 11 --served S", 1, "", "the launcher keeps its own", 0},
        {"a.pak.download=x", "publish --build B --version 11 --served S", 1, "", "a name ending in .download", 0},
        {"", "prune --served none", 1, "", "no served folder none", 0},
        {"", "rollback --to 1 --version 2 --served none", 1, "", "no served folder none", 0},
        // A failed publish leaves no temporary file behind.
        {"a.pak=one", "publish --build B --version 1 --served F; echo tmp: $(find F -name '*.tmp' | wc -l)", 0, "tmp: 0", "cannot rename", 1},
        // A label recorded but not served when a run was cut off completes, its lost stored file stored anew.
        {"", "publish --build B --version 1 --served R && cp R/updates/latest.json l1 && echo two >B/a.pak && $P publish "
             "--build B --version 2 --served R && cp l1 R/updates/latest.json && rm R/updates/blobs/$(echo two | sha256sum | "
             "cut -c1-64) && $P publish --build B --version 2 --served R && $P verify --served R", 0, "",
         "completed serving 2\nverified R", 1},
        // The wait a plan foresees: 4 round trips a request (the manifest's too) and the bytes over the rate.
        {"a=1;b=2;c=3", "publish --build B --version 11 --served S --dry-run", 0, "on 10 downloads 3 files, 3 bytes; about"
         " 1.0 s at 50 Mbit/s and 60 ms: 0.0 s transfer, 1.0 s round trips (4 for each of 4 requests)\n"
         "    most of it waits on round trips", "", 0},
        {"x=" + std::string(100000, 'x'), "publish --build B --version 11 --served S --dry-run --player-link 0.1,1", 0,
         "; about 8.0 s at 0.1 Mbit/s and 1 ms: 8.0 s transfer, 0.0 s round trips (4 for each of 2 requests)\n  a", "", 0},
        {"", "rollback --to 1 --version 11 --served S --dry-run --player-link 8,100", 0, "on 10 downloads 3 files, 10 bytes;"
         " about 1.6 s at 8 Mbit/s and 100 ms", "", 0},
        {"", "publish --build B --version 11 --served S --dry-run --player-link 0,60", 2, "", "--player-link", 0},
    };
    Write(root / "bad" / "publish-history.json", "[{\"version\": \"1\", \"files\": 3");
    Write(root / "old" / "publish-history.json", "[{\"version\": \"0.9\", \"mandatory\": false, \"files\": []}]");
    const std::string kRecord = "[{\"version\": \"1\", \"mandatory\": false, \"files\": [{\"size\": 1, \"sha256\": \"" +
                                std::string(64, 'a') + "\", \"path\": \"";
    Write(root / "evil" / "publish-history.json", kRecord + "../../evil.dll\"}]}]");
    Write(root / "exe" / "publish-history.json", kRecord + kLauncherExe + "\"}]}]");
    fs::create_directories(root / "held");
    fs::create_directories(root / "E");                       // an empty build
    fs::create_directories(root / "F" / "updates" / "full.json");  // a manifest that cannot be renamed into place
    int held = ::open((root / "held" / "publish.lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    for (const auto& row : rows) {
        if (!row.build.empty()) {
            fs::remove_all(root / "B");
            std::istringstream files(row.build);
            for (std::string file; std::getline(files, file, ';');) {
                Write(root / "B" / file.substr(0, file.find('=')), file.substr(file.find('=') + 1));
            }
        }
        auto before = Snapshot(root);
        std::string run = "P=" ORVANE_PUBLISH " && { $P " + row.args + "; } >B.out 2>B.err";
        int status = std::system(("cd " + root.string() + " && " + run).c_str());
        std::string out = Read(root / "B.out"), err = Read(root / "B.err");
        EXPECT_EQ(WEXITSTATUS(status), row.exit) << row.args << "\n" << err;
        EXPECT_NE(out.find(row.out), std::string::npos) << row.args << "\n" << out;
        EXPECT_NE(err.find(row.err), std::string::npos) << row.args << "\n" << err;
        EXPECT_EQ(Snapshot(root) != before, row.wrote) << row.args;
        EXPECT_EQ(row.read.empty() ? "" : Served(root / "S"), row.read) << row.args;
    }
    ::close(held);
}

// Killed at any moment, a publish leaves the tree serving the earlier version or the new one, whole,
// and the next run completes it.
TEST_F(Publisher, KilledAnywhereServesOneWholeVersion) {
    const fs::path build = root / "build", served = root / "served";
    unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    for (int i = 0; i < 300; ++i) {
        Write(build / "Content" / (std::to_string(i) + ".pak"), std::string(1000 + random() % 3000, 'a' + i % 26));
    }
    std::string error;
    ASSERT_TRUE(Publish(build, served, {"0"}, error)) << error;
    for (int round = 1; round <= 20; ++round) {
        for (int i = round; i < 300; i += 25) {
            Write(build / "Content" / (std::to_string(i) + ".pak"), std::to_string(round) + std::string(i, 'r'));
        }
        std::string version = std::to_string(round);
        int status = WEXITSTATUS(std::system(("timeout -s KILL " + std::to_string((1 + random() % 40000) / 1e6) +
                                              " " ORVANE_PUBLISH " publish --build " + build.string() + " --version " +
                                              version + " --served " + served.string() + " 2>/dev/null").c_str()));
        EXPECT_TRUE(status == 0 || status == 128 + SIGKILL) << "round " << round << ": exit status " << status;
        std::vector<std::string> problems;
        EXPECT_TRUE(Verify(served, problems)) << "seed " << seed << ", round " << round << ": " << problems[0];
        std::string servedVersion = WideToUtf8(Scan(served).version);
        EXPECT_TRUE(servedVersion == version || servedVersion == std::to_string(round - 1)) << servedVersion;
        ASSERT_TRUE(Publish(build, served, {version}, error)) << error;
        EXPECT_EQ(WideToUtf8(Scan(served).version), version);
    }
}
