#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ExpectedTexts.h"
#include "Harness.h"
#include "support/TextEncoding.h"
#include "update/ManifestSignature.h"
#include "update/ManifestTrust.h"
#include "update/UpdateSession.h"

// Update sessions of a launcher built with two manifest keys (a team's old and new one while it
// rotates), against the fault server; the session table of the build without keys is in FaultServerTables.

namespace {

// X, Y and d of the two keys this build trusts, and of one it does not.
const char kFirst[] = "HtEoumj7YmXq77DTKqVCFJrulS3vjiOmS1Ag6EtQFJoPuuW+ObrMXfn9V8VDAD2d1uZBzVFLRtMWjEmht0yJnkRbxFk7VG1NeRAjckwpzK6VdEhMMg/kVM63fKj2pAKd";
const char kSecond[] = "n2wxVsZAV9Zk1zXVtZX6WGmqJWXHpxxmSi1Di2in0V92tYUYB/E12U3B5UiPiXHEjLKGPM45LesMI6jyVjSXNKZ49YnIrldOEN3+rTyeM/xboDuRxSfBi5E28vM1LL7S";
const char kStranger[] = "jRvV+57eBicnbACr9E7n3nP4jSLVbiswNBPHy+osZkwhsrWxhd9b49FJsi/Nu0IF10QbJt+tr8G65c9EolS00s4dOthOZFZXN+BW2RL5i7AccDYaX259+jSlw7spLzc1";

std::vector<BYTE> Decoded(const char* text) {
    DWORD size = 96;
    std::vector<BYTE> bytes(size);
    CryptStringToBinaryA(text, 0, CRYPT_STRING_BASE64, bytes.data(), &size, nullptr, nullptr);
    return bytes;
}

// The text with a serial and the signature of the key over what the launcher's scanner reads of it.
std::string Signed(const std::string& text, uint64_t serial, const char* key) {
    UpdateManifest manifest;
    EXPECT_TRUE(ParseManifest(text, manifest));
    std::string bytes = SignedManifestBytes(manifest, serial);
    BCRYPT_ALG_HANDLE sha = nullptr, ecdsa = nullptr;
    BCRYPT_KEY_HANDLE handle = nullptr;
    BYTE digest[32], signature[64];
    ULONG length = 0;
    std::vector<BYTE> blob(sizeof(BCRYPT_ECCKEY_BLOB)), secret = Decoded(key);
    *reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data()) = {BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 32};
    blob.insert(blob.end(), secret.begin(), secret.end());
    BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCRYPT_HASH_HANDLE hash = nullptr;
    BCryptCreateHash(sha, &hash, nullptr, 0, nullptr, 0, 0);
    BCryptHashData(hash, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(bytes.size()), 0);
    BCryptFinishHash(hash, digest, 32, 0);
    BCryptDestroyHash(hash);
    BCryptOpenAlgorithmProvider(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    BCryptImportKeyPair(ecdsa, nullptr, BCRYPT_ECCPRIVATE_BLOB, &handle, blob.data(), static_cast<ULONG>(blob.size()), 0);
    EXPECT_EQ(BCryptSignHash(handle, nullptr, digest, 32, signature, 64, &length, 0), 0);
    BCryptDestroyKey(handle);
    BCryptCloseAlgorithmProvider(ecdsa, 0);
    BCryptCloseAlgorithmProvider(sha, 0);
    char base64[128];
    DWORD size = sizeof(base64);
    CryptBinaryToStringA(signature, 64, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, base64, &size);
    return "{\"serial\": " + std::to_string(serial) + ", \"signature\": \"" + base64 + "\", " + text.substr(1);
}

// The public line of a key (the base64 of X and Y), as a team's FILE.pub holds it.
std::string PublicLine(const char* key) {
    std::vector<BYTE> bytes = Decoded(key);
    char base64[128];
    DWORD size = sizeof(base64);
    CryptBinaryToStringA(bytes.data(), 64, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, base64, &size);
    return base64;
}

// launcher-manifest-serial.txt after the launcher accepted the text signed by the key with the serial.
std::string Record(uint64_t serial, const char* key, const std::string& text) {
    UpdateManifest manifest;
    EXPECT_TRUE(ParseManifest(text, manifest));
    return std::to_string(serial) + "\n" + PublicLine(key) + "\n" + DigestOf(SignedManifestBytes(manifest, serial)) + "\n";
}

}  // namespace

TEST_F(InFolder, SignedSessions) {
    using namespace expected;
    const std::string a = TestBytes(300, 1), b = TestBytes(700, 2), kA = "/updates/v/a.pak";
    const std::string v2 = Manifest("2", false, {Entry("a.pak", kA, a)}, {"old.pak"});
    auto tampered = [&](const std::string& from, const std::string& to) {
        std::string text = Signed(v2, 5, kFirst);
        return text.replace(text.find(from), from.size(), to);
    };
    // A JSON parser takes the last of two keys, the scanner the first: what it read is what was signed.
    const std::string twoVersions = v2.substr(0, v2.rfind('}')) + ", \"version\": \"9\"}";
    const std::string other = Manifest("2", true, {Entry("a.pak", kA, a)});
    const std::string ownRecord = Manifest("2", false, {Entry("a.pak", kA, a)}, {"LAUNCHER-MANIFEST-SERIAL.TXT."});
    const std::string kBelowFloor = "Manifest refused: serial 2 is lower than 3, the lowest this launcher accepts.";
    const std::string kNoSignature = "Manifest refused: no signature.";
    const std::string kNoKey = "Manifest refused: its signature matches no key of this launcher.";
    const struct {
        const char* name;
        bool installed;          // Orvane.exe, version 1 and old.pak; else an empty folder
        std::string recorded;    // the serial file before; empty: none
        std::string manifest;
        std::string verdict;
        bool updated;            // a.pak installed, old.pak removed, version 2 recorded; else nothing touched
        std::string serialAfter;
        std::string refusal = "";  // the log's refusal line
        bool recordHeld = false;   // another program holds the serial file open, sharing nothing
        std::string filesAfter = "";  // a.pak, old.pak and the version file, when the update stopped halfway
    } cases[] = {
        {"first installation", false, "", Signed(v2, 5, kFirst), Installed("2"), true, Record(5, kFirst, v2)},
        // A record written before the key and contents were kept is read, binds, and is written anew.
        {"signed by the second key", true, "4\n", Signed(v2, 5, kSecond), Updated("2"), true, Record(5, kSecond, v2)},
        {"no signature", true, "", v2, kManifestRejected, false, "<absent>", kNoSignature},
        {"no signature, first installation", false, "", v2, kManifestRejected, false, "<absent>", kNoSignature},
        {"a key this launcher does not know", true, "", Signed(v2, 5, kStranger), kManifestRejected, false, "<absent>", kNoKey},
        {"sha256 changed", true, "", tampered(DigestOf(a), DigestOf(b)), kManifestRejected, false, "<absent>", kNoKey},
        {"size changed", true, "", tampered("\"size\": 300", "\"size\": 301"), kManifestRejected, false, "<absent>", kNoKey},
        {"path changed", true, "", tampered("\"a.pak\"", "\"Orvane.exe\""), kManifestRejected, false, "<absent>", kNoKey},
        {"url changed", true, "", tampered(kA, "/updates/v/b.pak"), kManifestRejected, false, "<absent>", kNoKey},
        {"deletedFiles changed", true, "", tampered("\"old.pak\"", "\"Orvane.exe\""), kManifestRejected, false, "<absent>", kNoKey},
        {"mandatory changed", true, "", tampered("\"mandatory\": false", "\"mandatory\": true"), kManifestRejected, false,
         "<absent>", kNoKey},
        {"serial changed", true, "", tampered("\"serial\": 5", "\"serial\": 6"), kManifestRejected, false, "<absent>", kNoKey},
        {"an older serial replayed", true, "7\n", Signed(v2, 6, kFirst), kManifestRejected, false, "7\n",
         "Manifest refused: serial 6 is lower than 7, accepted before."},
        {"the same serial again", true, "7\n", Signed(Manifest("1", false, {}), 7, kFirst), Current("1"), false,
         Record(7, kFirst, Manifest("1", false, {}))},
        {"the same serial for the same contents", true, Record(7, kFirst, v2), Signed(v2, 7, kFirst), Updated("2"), true,
         Record(7, kFirst, v2)},
        // Two builds under one serial would let the host switch players between them at will.
        {"the same serial for other contents", true, Record(7, kFirst, other), Signed(v2, 7, kFirst), kManifestRejected,
         false, Record(7, kFirst, other), "Manifest refused: serial 7 was accepted before for other contents."},
        {"a higher serial", true, Record(7, kSecond, other), Signed(v2, 8, kFirst), Updated("2"), true, Record(8, kFirst, v2)},
        {"a record that cannot be read is not taken for none", true, "7\n", Signed(v2, 6, kFirst), kManifestRejected, false,
         "7\n", "Manifest refused: the recorded serial cannot be read: 32", true},
        {"two version keys", true, "", Signed(twoVersions, 5, kFirst), Updated("2"), true, Record(5, kFirst, v2)},
        // The floor holds with or without a record: a new installation cannot be sent back before it.
        {"below the floor, first installation", false, "", Signed(v2, 2, kFirst), kManifestRejected, false, "<absent>",
         kBelowFloor},
        {"below the floor, no record", true, "", Signed(v2, 2, kFirst), kManifestRejected, false, "<absent>", kBelowFloor},
        {"at the floor", true, "", Signed(v2, 3, kFirst), Updated("2"), true, Record(3, kFirst, v2)},
        // Whatever a stolen key made players accept binds nothing once the launcher no longer holds it.
        {"a record under a key this launcher does not hold", true, Record(UINT64_MAX, kStranger, v2), Signed(v2, 5, kFirst),
         Updated("2"), true, Record(5, kFirst, v2)},
        // A signed manifest cannot delete the record either (the obsolete-file table has every own file).
        {"the record listed as obsolete", true, "", Signed(ownRecord, 5, kFirst), kRemovalFailed, true,
         Record(5, kFirst, ownRecord), "", false, a + "|old|1\n|"},
    };
    PutServed(kA, a);
    int row = 0;
    for (const auto& c : cases) {
        std::wstring game = folder + L"\\" + std::to_wstring(++row);
        CreateDirectoryW(game.c_str(), nullptr);
        if (c.installed) {
            WriteBytes(InPath(game, "Orvane.exe"), "MZ game");
            WriteBytes(InPath(game, "launcher-version.txt"), "1\n");
            WriteBytes(InPath(game, "old.pak"), "old");
        }
        if (!c.recorded.empty()) {
            WriteBytes(InPath(game, "launcher-manifest-serial.txt"), c.recorded);
        }
        ResetServer();
        PutServed("/updates/latest.json", c.manifest);
        PutServed("/updates/full.json", c.manifest);
        HANDLE holder = c.recordHeld ? CreateFileW(InPath(game, "launcher-manifest-serial.txt").c_str(), GENERIC_READ, 0,
                                                   nullptr, OPEN_EXISTING, 0, nullptr)
                                     : INVALID_HANDLE_VALUE;
        UpdateVerdict verdict = RunUpdateSession(game, nullptr, nullptr);
        CloseHandle(holder);
        EXPECT_EQ(WideToUtf8(verdict.message) + (verdict.canPlay ? " +play" : ""),
                  c.verdict + (c.installed || c.updated ? " +play" : "")) << c.name;
        std::string files, expectedFiles = !c.filesAfter.empty() ? c.filesAfter : c.updated ? a + "|<absent>|2\n|" : std::string("<absent>|") +
                                           (c.installed ? "old|1\n|" : "<absent>|<absent>|");
        for (const char* name : {"a.pak", "old.pak", "launcher-version.txt", "launcher-manifest-serial.txt"}) {
            files += FileExists(InPath(game, name)) ? ReadBytes(InPath(game, name)) + "|" : "<absent>|";
        }
        EXPECT_EQ(files, expectedFiles + c.serialAfter + "|") << c.name;
        std::string refusal;
        for (const std::string& line : ReadLines(InPath(game, "launcher-update.log"))) {
            refusal += line.rfind("Manifest refused: ", 0) == 0 ? line : "";
        }
        EXPECT_EQ(refusal, c.refusal) << c.name;
        EXPECT_EQ(Requests(c.updated ? 2 : 1).size(), c.updated ? 2u : 1u) << c.name << ": nothing fetched after a refusal";
        EXPECT_FALSE(FileExists(InPath(game, "launcher-manifest-serial.txt.download"))) << c.name;
    }
    // Two launchers at once in one folder, each raising the record: it only ever rises, and the one that
    // finishes last never writes a lower serial.
    std::wstring game = folder + L"\\race";
    CreateDirectoryW(game.c_str(), nullptr);
    UpdateManifest parsed;
    ASSERT_TRUE(ParseManifest(v2, parsed));
    std::vector<std::string> bodies;
    for (uint64_t serial = 10; serial < 70; ++serial) {
        bodies.push_back(Signed(v2, serial, kFirst));
    }
    for (size_t i = 0; i + 1 < bodies.size(); i += 2) {
        std::thread lower([&] { IsManifestTrusted(bodies[i], parsed, game); });
        IsManifestTrusted(bodies[i + 1], parsed, game);
        lower.join();
        EXPECT_EQ(ReadBytes(InPath(game, "launcher-manifest-serial.txt")), Record(11 + i, kFirst, v2)) << "round " << i / 2;
    }
}
