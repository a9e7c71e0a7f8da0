#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "publisher/Publisher.h"
#include "publisher/Signing.h"
#include "publisher/Store.h"
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

std::string Sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return HexText(digest, length);
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
    std::string many = "a.pak=9";
    for (int i = 10; i < 32; ++i) {
        many += ";n" + std::to_string(i) + ".pak=" + std::to_string(i);
    }
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
             "$P history --served S --json | grep -c '\"version\":'", 0, "9\n", "published 10", 1},
        // While another process holds the lock, a prune gives up when its time is out.
        {"", "prune --served held --lock-timeout 0.1", 1, "", "waiting for another publish, prune, rollback or push in held "
         "to finish (held/publish.lock), up to 0.1 s (--lock-timeout)\norvane-publish: another publish, prune, rollback", 0},
        // Ctrl-C: one line, on a line of its own.
        {"", "prune --served held --lock-timeout 5 & sleep 0.3; kill -INT $!; wait $!; echo status $?", 0, "status 130", "(--lock-timeout)\n"
         "interrupted: run the same command again to complete it\n", 0},
        // Signed manifests: a key made once and never overwritten; once signed, never unsigned again; a rollback
        // raises the serial; verify finds a manifest changed after signing, and an unsigned one.
        {"a.pak=signed", "keygen --out k", 0, "", "wrote k (the private key", 1},
        {"", "keygen --out k", 1, "", "k exists", 0},
        {"", "publish --build B --version 1 --served K --signing-key k && $P verify --served K --public-key k.pub", 0, "",
         "signed with serial ", 1},
        {"", "publish --build B --version 2 --served K", 1, "", "the versions here are signed (1 with serial", 0},
        {"", "rollback --to 1 --version 2 --served K --signing-key k && $P history --served K --json | grep -o '\"serial\": [0-9]*' | "
             "awk '{print $2}' | sort -c -n -u && echo raised", 0, "raised", "", 1},
        {"", "publish --build B --version 2 --served K --signing-key k", 0, "nothing to do", "", 0},
        {"", "verify --served K --public-key k.pub && sed -i 's/\"serial\": \\([0-9]*\\)/\"serial\": 1\\1/' "
             "K/updates/latest.json && $P verify --served K --public-key k.pub", 1, "",
         "latest.json: its signature does not verify with the key", 1},
        // Run again, the publish serves its version signed anew.
        {"", "publish --build B --version 2 --served K --signing-key k && $P verify --served K --public-key k.pub", 0, "",
         "completed serving 2\nverified K", 1},
        // A history restored from a backup two versions old still gives a serial above those launchers have seen.
        {"", "history --served K >/dev/null && sqlite3 K/publish-history.db '.backup h0' && cp K/updates/latest.json l0 && $P publish "
             "--build B --version 3 --served K --signing-key k && $P publish --build E --version 4 --served K --signing-key k "
             "--allow-empty && a=$(grep -o 'serial\": [0-9]*' K/updates/latest.json | cut -c10-) && sqlite3 K/publish-history.db "
             "'.restore h0' && cp l0 K/updates/latest.json && cp l0 K/updates/full.json && $P publish --build E --version 5 --served K "
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
        // A plan needs no key, and says that the real run will.
        {"", "publish --build B --version 7 --served K --dry-run && $P rollback --to 1 --version 7 --served K --dry-run", 0,
         "the real run needs --signing-key (this plan needs none)\nplan for 7", "", 0},
        // A copy without its history (what an origin holds) is verified from its manifests.
        {"", "history --served S >/dev/null && mkdir C && cp -r S/updates C/ && $P verify --served C && rm C/updates/blobs/"
             "$(grep -o '[0-9a-f]\\{64\\}' C/updates/latest.json | head -1) && $P verify --served C", 1, "", "(a copy, as an origin "
             "holds): checked both manifests and the 1 stored file they name\nverified C\nno history in C", 1},
        // A JSON history (signed versions, a rollback, a key switch, a prune) migrates once, checked against the
        // served manifests, and reads back the same; the export is that JSON again.
        {"", "publish --build E --version 7 --served K --signing-key k2 --allow-empty 2>/dev/null && $P prune --served K --keep 2 "
             "2>/dev/null && $P history --served K --json >K.json && mkdir M && cp -r K/updates M && "
             "grep -v rollbackOf K.json >M/publish-history.json && $P history --served M --json | cmp - M/publish-history.json && "
             "$P prune --served M && $P history --served M --json | cmp - M/publish-history.json.migrated && $P verify --served M "
             "--public-key k2.pub && ls M", 0, "publish-history.db\npublish-history.json.migrated\npublish.lock\nupdates",
         "migrated M/publish-history.json into M/publish-history.db (5 versions)\nremoved 0 stored files\nverified M", 1},
        // A signed version recorded without its key was signed by one nobody can name: another key needs --switch-key.
        {"", "history --served K >/dev/null && mkdir NK && cp -r K/updates NK && grep -v '\"key\":' K.json >NK/publish-history.json && "
             "$P publish --build E --version 8 --served NK --signing-key k2 --allow-empty", 1, "",
         "(the history does not record which key did)", 1},
        {"", "publish --build E --version 8 --served NK --signing-key k2 --allow-empty --switch-key", 0, "", "published 8", 1},
        // A clock that was ahead once: verify names the serial it handed out; a publish on a clock behind the last
        // one recorded is refused, unless the team says the recorded time is the wrong one.
        {"", "history --served NK >/dev/null && FAKETIME_DONT_FAKE_MONOTONIC=1 faketime -f +3650d $P publish --build E --version 9 "
             "--served NK --signing-key k2 --allow-empty 2>/dev/null && $P verify --served NK", 1, "",
         " days ahead of this machine's clock", 1},
        {"", "publish --build E --version 10 --served NK --signing-key k2 --allow-empty", 1, "",
         "this machine's clock is behind the last publish of 20", 0},
        {"", "publish --build E --version 10 --served NK --signing-key k2 --allow-empty --clock-behind-ok && $P history --served NK",
         0, "  rollback to 1\n", "published 10: 0 files, ", 1},
        {"", "history --served S >/dev/null && mkdir D && cp -r S/updates D && $P history --served S --json | sed 's/\"mandatory\": false/\"mandatory\": true/' "
             ">D/publish-history.json && $P prune --served D", 1, "", "D/publish-history.json does not agree with the served "
             "updates/latest.json (the launcher would read another version or mandatory flag); nothing was changed", 1},
        {"", "history --served baddb", 1, "", "baddb/publish-history.db is damaged (file is not a database)", 0},
        {"", "publish --build B --version 1 --served baddb", 1, "", "baddb/publish-history.db is damaged", 0},
        // A file rewritten at its size with its time set back is read again: its time of change moved.
        {"a.pak=one;b.pak=kept", "publish --build B --version 1 --served RR && sleep 2.1 && $P publish --build B --version 1 "
             "--served RR && m=$(stat -c %y B/a.pak) && printf two >B/a.pak && touch -d \"$m\" B/a.pak && $P publish --build B "
             "--version 2 --served RR && grep -q $(printf two | sha256sum | cut -c1-64) RR/updates/latest.json && echo re-read", 0, "re-read",
         "published 2", 1},
        // A publish right after a rollback writes only bytes not stored yet, whatever was served last.
        {"a=1", "history --served S >/dev/null && head -c 2000000 /dev/zero >B/big && $P publish --build B --version 1 --served W && echo >>B/big && echo 22 >B/a && "
             "$P publish --build B --version 2 --served W && $P rollback --to 1 --version 3 --served W && echo new >B/n && $P "
             "publish --build B --version 4 --served W", 0, "", "wrote 1 file, 4 bytes, into the store\npublished 4", 1},
        // A missing value never swallows the option after it; an empty path or a mistyped command is a usage error.
        {"a.pak=x", "publish --build B --version --dry-run --served S", 2, "", "--version: must not begin with '-'", 0},
        {"", "publish --build B --version 11 --served --dry-run", 2, "", "--served", 0},
        {"", "publish --build '' --version 11 --served S", 2, "", "--build: must not be empty", 0},
        {"", "pubish --build B", 2, "", "pubish: no such command; did you mean publish?\ncommands: publish, rollback", 0},
        {"", "publish --verison 11 --build B --served S", 2, "", "--verison: no such option; did you mean --version?", 0},
        {"", "publish --build B.err --version 11 --served S", 2, "", "--build: names a file, not a folder: 'B.err'", 0},
        {"", "publish --build B --version 11 --served S --signing-key nokey", 2, "", "--signing-key: no such file 'nokey'", 0},
        {"", "history --served S/updates", 2, "", "S (which holds publish-history.db): give --served ", 0},
        // Versions no player on an earlier one could install, or that would reach no one.
        {"a.pak/inner=x", "publish --build B --version 11 --served S", 1, "",
         "a.pak/inner needs a folder a.pak, but version 3 has a file a.pak", 0},
        {"CONTENT=x", "publish --build B --version 11 --served S", 1, "", "CONTENT is a file, but version 7 has a folder", 0},
        {"", "rollback --to 1 --version 1 --served S", 1, "", "is already published, and ", 0},
        {"", "history --served evil", 1, "", "damaged (version 1 holds the path '../../evil.dll'", 0},
        {"", "history --served own", 1, "", "holds the path 'Launcher-Manifest-Serial.TXT', which every player's launcher "
             "refuses to touch", 0},
        {"", "publish --build B --version 2 --served exe", 1, "", "holds the path '" + std::string(kLauncherExe), 0},
        // Slips of a pipeline: nested folders, an empty build (allowed only when asked for), a link named as it
        // stands, paths that are files, folders that do not exist.
        {"", "publish --build B --version 11 --served B/s", 1, "", "must be apart", 0},
        {"", "publish --build E --version 11 --served S", 1, "", "holds no files", 0},
        {"", "publish --build E --version 1 --served T --allow-empty", 0, "", "published 1: 0 files", 1},
        {"a.pak=x", "history --served S && ln -s a.pak B/link.pak && $P publish --build B --version 11 --served S", 1, "", "link.pak: symbolic", 0},
        {"", "history --served B.err", 2, "", "--served: names a file, not a folder: 'B.err'", 0},
        {"", "history --served none", 1, "", "no served folder none", 0},
        {"launcher-version.txt=9", "publish --build B --version 11 --served S", 1, "", "the launcher keeps its own", 0},
        {"Launcher-Update-Pending.txt/a=9", "publish --build B --version 11 --served S", 1, "", "a folder of that name", 0},
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
        // A stored file cut short (a full disk, a hand) is replaced by the next run, not taken for stored.
        {"z.pak=zzz", "publish --build B --version 1 --served TR && : >TR/updates/blobs/$(grep -o '[0-9a-f]\\{64\\}' "
             "TR/updates/latest.json | head -1) && $P publish --build B --version 1 --served TR && $P verify --served TR", 0, "",
         "verified TR", 1},
        // The wait a plan foresees: 4 round trips a request (the manifest's too) and the bytes over the rate.
        {"a=1;b=2;c=3", "publish --build B --version 11 --served S --dry-run", 0, "on 10 downloads 3 files, 3 bytes; about"
         " 1.0 s at 50 Mbit/s and 60 ms: 0.0 s transfer, 1.0 s round trips (4 for each of 4 requests)\n"
         "    most of it waits on round trips", "", 0},
        {"x=" + std::string(100000, 'x'), "publish --build B --version 11 --served S --dry-run --player-link 0.1,1", 0,
         "; about 8.0 s at 0.1 Mbit/s and 1 ms: 8.0 s transfer, 0.0 s round trips (4 for each of 2 requests)\n  a", "", 0},
        {"", "rollback --to 1 --version 11 --served S --dry-run --player-link 8,100", 0, "on 10 downloads 3 files, 10 bytes;"
         " about 1.6 s at 8 Mbit/s and 100 ms", "", 0},
        {"", "publish --build B --version 11 --served S --dry-run --player-link 0,60", 2, "", "--player-link", 0},
        // A plan names every obsolete path and the first 20 new and changed ones; one of a kind is one.
        {"a.pak=1;b.pak=2;c.pak=3", "publish --build B --version 1 --served N", 0, "", "published 1: 3 files", 1},
        {many, "publish --build B --version 2 --served N --dry-run", 0, "  new: n10.pak, n11.pak, n12.pak, n13.pak, n14.pak, "
         "n15.pak, n16.pak, n17.pak, n18.pak, n19.pak, n20.pak, n21.pak, n22.pak, n23.pak, n24.pak, n25.pak, n26.pak, n27.pak, "
         "n28.pak, n29.pak and 2 more\n  changed: a.pak\n  obsolete, deleted from players' folders: b.pak, c.pak\n", "", 0},
        {"a=1", "publish --build B --version 1 --served O && $P publish --build B --version 2 --served O --dry-run", 0,
         "to store: 0 files, 0 bytes\n  a player on 1 downloads 0 files, 0 bytes; about 0.2 s at 50 Mbit/s and 60 ms: 0.0 s "
         "transfer, 0.2 s round trips (4 for each of 1 request)", "published 1: 1 file, 0 obsolete paths", 1},
        // A push that stops after the manifests went out does not say that nothing changed for players.
        {"a.pak=1", "publish --build B --version 1 --served PS && $P push --served PS --to PD && echo 2 >B/a.pak && $P publish "
             "--build B --version 2 --served PS && $P prune --served PS --keep 1 && PATH=$PWD/nodelete:$PATH $P push --served PS "
             "--to PD --delete", 1, "", "stopped while deleting stored files: a refusal; the manifests there may have changed", 1},
    };
    Write(root / "bad" / "publish-history.json", "[{\"version\": \"1\", \"files\": 3");
    Write(root / "baddb" / "publish-history.db", "[{\"version\": \"1\", \"files\": 3");
    Write(root / "old" / "publish-history.json", "[{\"version\": \"0.9\", \"mandatory\": false, \"files\": []}]");
    const std::string kRecord = "[{\"version\": \"1\", \"mandatory\": false, \"files\": [{\"size\": 1, \"sha256\": \"" +
                                std::string(64, 'a') + "\", \"path\": \"";
    Write(root / "evil" / "publish-history.json", kRecord + "../../evil.dll\"}]}]");
    Write(root / "exe" / "publish-history.json", kRecord + kLauncherExe + "\"}]}]");
    Write(root / "own" / "publish-history.json", kRecord + "Launcher-Manifest-Serial.TXT\"}]}]");
    fs::create_directories(root / "held");
    Write(root / "nodelete" / "rclone", "#!/bin/sh\n[ \"$1\" != delete ] || { echo 'a refusal' >&2; exit 1; }\n"
                                        "exec /usr/bin/rclone \"$@\"\n");
    fs::permissions(root / "nodelete" / "rclone", fs::perms::owner_all);
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

// Killed at any moment, a publish, rollback or prune leaves the tree serving the earlier version or the
// new one, whole, and the next run completes it.
TEST_F(Publisher, KilledAnywhereServesOneWholeVersion) {
    const fs::path build = root / "build", served = root / "served";
    unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    for (int i = 0; i < 300; ++i) {
        Write(build / "Content" / (std::to_string(i) + ".pak"), std::string(1000 + random() % 3000, 'a' + i % 26));
    }
    std::string error, previous = "0";
    ASSERT_TRUE(Publish(build, served, {"0"}, error)) << error;
    for (int round = 1; round <= 20; ++round) {
        for (int i = round; i < 300; i += 25) {
            Write(build / "Content" / (std::to_string(i) + ".pak"), std::to_string(round) + std::string(i, 'r'));
        }
        std::string version = std::to_string(round);
        std::vector<std::pair<std::string, std::string>> runs = {{"publish --build " + build.string(), version}};
        if (round % 4 == 0) {  // a rollback to two versions back, then a prune, each killed and run again
            runs.push_back({"rollback --to " + std::to_string(round - 2), version + "r"});
            runs.push_back({"prune --keep 2", ""});
        }
        for (const auto& [command, label] : runs) {
            std::string run = ORVANE_PUBLISH " " + command + (label.empty() ? "" : " --version " + label) + " --served " +
                              served.string() + " 2>/dev/null";
            int status = WEXITSTATUS(std::system(("timeout -s KILL " + std::to_string((1 + random() % 40000) / 1e6) +
                                                  " " + run).c_str()));
            EXPECT_TRUE(status == 0 || status == 128 + SIGKILL) << "round " << round << ": exit status " << status;
            std::vector<std::string> problems;
            EXPECT_TRUE(Verify(served, problems)) << "seed " << seed << ", round " << round << " " << command << ": "
                                                  << problems[0];
            std::string servedVersion = WideToUtf8(Scan(served).version);
            EXPECT_TRUE(servedVersion == previous || servedVersion == label || label.empty()) << servedVersion;
            ASSERT_EQ(WEXITSTATUS(std::system(run.c_str())), 0) << "round " << round << " " << command;
            previous = label.empty() ? previous : label;
            EXPECT_EQ(WideToUtf8(Scan(served).version), previous);
        }
    }
}

namespace {

// What a destination's manifests name that is not there whole (a bucket is fetched with rclone into
// `copy` first; the SFTP server's folders are on this machine); empty when both are absent (nothing
// pushed yet) or each names only stored files of the right bytes. The versions served, as
// "full/latest", go to `versions`.
std::string DestProblem(const std::string& dest, fs::path copy, std::string& versions) {
    fs::remove_all(copy);
    if (dest[0] != '/' && dest.find("sftp-test:") != 0) {
        std::system(("rclone --config $ORVANE_STORAGE/rclone.conf copy " + dest + "/updates " + copy.string() +
                     "/updates 2>/dev/null").c_str());
    } else {
        copy = dest.substr(dest.find('/'));
    }
    std::string problem;
    versions.clear();
    for (const char* name : {"full.json", "latest.json"}) {
        UpdateManifest m;
        std::string text = Read(copy / "updates" / name);
        if (!text.empty() && !ParseManifest(text, m)) {
            return std::string(name) + " is damaged";
        }
        versions += (versions.empty() ? "" : "/") + (text.empty() ? "-" : WideToUtf8(m.version));
        for (const ManifestFile& f : m.files) {
            std::string bytes = Read(copy / WideToUtf8(f.url).substr(1));
            if (bytes.size() != f.size || Sha256Hex(bytes) != WideToUtf8(f.sha256)) {
                problem += std::string(name) + " names " + WideToUtf8(f.url) + ", which is not there whole; ";
            }
        }
    }
    return problem;
}

}  // namespace

// Rows in order against three destinations (a folder, SFTP, S3), alternating the pushed tree between
// 1 (S1) and 2 (S2, pruned to it). A row with a kill point runs rclone through a wrapper that kills the
// push and its rclone at the Nth rclone call, after a delay; after every row the destination's
// manifests name only stored files that are there whole and serve the one version or the other, and a
// push that ends serves the pushed tree, with --delete nothing but its stored files.
TEST_F(Publisher, PushTable) {
    const char* storage = std::getenv("ORVANE_STORAGE");
    ASSERT_TRUE(storage) << "ORVANE_STORAGE: run through ctest, which starts the storage servers";
    ::unsetenv("AWS_CA_BUNDLE");  // rclone 1.60's S3 backend refuses to start with it set
    const std::string dests[] = {(root / "D").string(), "sftp-test:" + (root / "SD").string(),
                                 "s3-test:orvane/" + std::to_string(::getpid()), "no-such-remote:x", (root / "KD").string()};
    const std::string sameLength = "sed -i 's/\"version\": \"1\"/\"version\": \"2\"/' D/updates/latest.json; ";
    const struct { int dest; const char* tree; std::string args; int killAt = 0; double after = 0; int exit = 0;
                   std::string err{}; std::string first{}; } rows[] = {
        {0, "S1", "--dry-run", 0, 0, 0, "stored files to send: 6 files, 4.0 MiB: "},
        {0, "S1", "", 0, 0, 0, "pushed to " + dests[0] + ": 6 stored files (4.0 MiB), full.json, latest.json"},
        {0, "S1", "", 0, 0, 0, "serves this tree already; nothing sent"},
        // Killed at each rclone call of a push with --delete: the listing, the stored files (at once and midway),
        // the listing that confirms them, each manifest's reading and sending, the deletion.
        {0, "S2", "--delete", 1}, {0, "S1", "--delete", 2}, {0, "S2", "--delete", 2, 0.05}, {0, "S1", "--delete", 3},
        {0, "S2", "--delete", 5}, {0, "S1", "--delete", 6}, {0, "S2", "--delete", 7}, {0, "S1", "--delete", 10},
        // A manifest changed at the same length is sent again: compared by content, never by size and time.
        {0, "S1", "", 0, 0, 0, "pushed to " + dests[0] + ": 0 stored files (0 B), latest.json", sameLength},
        {1, "S1", "", 0, 0, 0, "6 stored files (4.0 MiB), full.json, latest.json"},
        {1, "S1", "", 0, 0, 0, "serves this tree already; nothing sent"},
        {1, "S2", "--delete", 2, 0.4}, {1, "S1", "--delete", 6, 0.1}, {1, "S2", "--delete", 12},
        {2, "S1", "", 0, 0, 0, "6 stored files (4.0 MiB), full.json, latest.json"},
        {2, "S2", "--delete --dry-run", 0, 0, 0, "stored files to delete: 0 files"},  // the live manifests name them
        {2, "S2", "--delete", 2, 0.1}, {2, "S1", "--delete", 6}, {2, "S2", "--delete", 12},
        {2, "S2", "", 0, 0, 0, "serves this tree already; nothing sent"},
        // rclone's reason, in one line.
        {3, "S1", "", 0, 0, 1, "push to no-such-remote:x stopped while listing its stored files: Failed to create file "
         "system for \"no-such-remote:x/updates/blobs\": didn't find section in config file; what players"},
        // An old backup of a signed tree never replaces what launchers have accepted since, nor deletes its files.
        {4, "K2", "", 0, 0, 0, "full.json, latest.json"},
        {4, "K1", "--delete", 0, 0, 1, "/updates/full.json is signed with serial "},
    };
    // Version 1 with files that version 2 drops (pruned from S2), one changed, big ones; and what is never sent.
    for (int i = 0; i < 4; ++i) {
        Write(root / "B" / ("Content/" + std::to_string(i) + ".pak"), std::string(1 << 20, static_cast<char>('a' + i)));
    }
    Write(root / "B" / "a.pak", "one");
    Write(root / "B" / "gone.pak", "gone");
    std::string error;
    ASSERT_TRUE(Publish(root / "B", root / "S1", {"1"}, error)) << error;
    fs::copy(root / "S1", root / "S2", fs::copy_options::recursive);
    Write(root / "B" / "a.pak", "two");
    fs::remove(root / "B" / "gone.pak");
    std::vector<std::string> removed;
    ASSERT_TRUE(Publish(root / "B", root / "S2", {"2"}, error) && Prune(root / "S2", 1, 1, removed, error)) << error;
    PublishOptions signing{"1"};
    std::string publicLine;
    signing.signingKey = (root / "k").string();
    ASSERT_TRUE(MakeSigningKey(root / "k", publicLine, error) && Publish(root / "B", root / "K1", signing, error)) << error;
    fs::copy(root / "K1", root / "K2", fs::copy_options::recursive);
    signing.version = "2";
    ASSERT_TRUE(Publish(root / "B", root / "K2", signing, error)) << error;
    for (const char* junk : {"S1/updates/blobs/.incoming-1-1", "S1/updates/notes.txt", "S1/updates/blobs/x"}) {
        Write(root / junk, "never sent");
    }
    Write(root / "bin" / "rclone", "#!/bin/sh\nn=$(($(cat $KILL_COUNT) + 1)); echo $n > $KILL_COUNT\n"
                                   "[ $n != $KILL_AT ] || (sleep $KILL_AFTER; kill -9 $PPID $$) &\nexec /usr/bin/rclone \"$@\"\n");
    fs::permissions(root / "bin" / "rclone", fs::perms::owner_all);
    std::map<int, std::string> served = {{0, "-/-"}, {1, "-/-"}, {2, "-/-"}, {3, "-/-"}, {4, "-/-"}};
    for (const auto& row : rows) {
        std::string before = served[row.dest], versions;
        const std::string& dest = dests[row.dest];
        std::string label = dest + " " + row.tree + " " + row.args + ", killed at " + std::to_string(row.killAt);
        Write(root / "count", "0");
        std::string run = "cd " + root.string() + " && " + row.first + "PATH=$PWD/bin:$PATH KILL_COUNT=$PWD/count KILL_AT=" +
                          std::to_string(row.killAt) + " KILL_AFTER=" + std::to_string(row.after) + " " ORVANE_PUBLISH
                          " push --served " + row.tree + " --to " + dest + " --rclone-config $ORVANE_STORAGE/rclone.conf " +
                          row.args;
        int status = WEXITSTATUS(std::system((run + " >out 2>err").c_str()));
        std::string err = Read(root / "out") + Read(root / "err");
        EXPECT_EQ(status, row.killAt ? 128 + SIGKILL : row.exit) << label << "\n" << err;
        EXPECT_NE(err.find(row.err), std::string::npos) << label << "\n" << err;
        EXPECT_EQ(DestProblem(dest, root / "copy", versions), "") << label;
        std::string pushed = row.tree[1] == '1' ? "1/1" : "2/2", halfway = pushed.substr(0, 2) + before.substr(2);
        EXPECT_TRUE(versions == before || versions == halfway || versions == pushed) << label << ": " << versions;
        if (row.killAt) {  // run again, it completes
            EXPECT_EQ(std::system((run + " >/dev/null 2>&1").c_str()), 0) << label;
            EXPECT_EQ(DestProblem(dest, root / "copy", versions), "") << label;
            std::set<std::string> here, there;
            for (const auto& f : fs::directory_iterator(root / row.tree / "updates" / "blobs")) {
                here.insert(f.path().filename().string());
            }
            fs::path copy = row.dest == 2 ? root / "copy" : fs::path(dests[row.dest].substr(dests[row.dest].find('/')));
            for (const auto& f : fs::directory_iterator(copy / "updates" / "blobs")) {
                there.insert(f.path().filename().string());
            }
            here.erase(".incoming-1-1");
            here.erase("x");
            EXPECT_EQ(there, here) << label << ": --delete leaves the pushed tree's stored files, and never sends others";
        }
        EXPECT_EQ(versions, row.exit || row.args.find("--dry-run") != std::string::npos ? before : pushed) << label;
        served[row.dest] = versions;
    }
    for (const char* never : {"notes.txt", "blobs/x", "blobs/.incoming-1-1", "../publish-history.json", "../publish.lock"}) {
        EXPECT_FALSE(fs::exists(root / "D" / "updates" / never)) << never;
    }
    // The bucket's objects carry the site's headers, read back over HTTP.
    std::string bucket = "http://127.0.0.6:4568/orvane/" + std::to_string(::getpid()) + "/updates/";
    std::string blob = Sha256Hex(Read(root / "B" / "Content" / "0.pak"));
    for (const auto& [path, headers] : {std::pair<std::string, std::string>{"latest.json", "no-cache|application/json"},
                                        {"blobs/" + blob, "public, max-age=31536000, immutable|application/octet-stream"}}) {
        std::system(("curl -s -o /dev/null -w '%header{cache-control}|%header{content-type}%header{content-encoding}' " +
                     bucket + path + " >" + root.string() + "/headers").c_str());
        EXPECT_EQ(Read(root / "headers"), headers) << path;
    }
}
