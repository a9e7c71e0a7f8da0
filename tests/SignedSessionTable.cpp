#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <string>
#include <utility>
#include <vector>

#include "ExpectedTexts.h"
#include "Harness.h"
#include "support/TextEncoding.h"
#include "update/ManifestSignature.h"
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
    const std::string kNoSignature = "Manifest refused: no signature.";
    const std::string kNoKey = "Manifest refused: its signature matches no key of this launcher.";
    const struct {
        const char* name;
        bool installed;          // Orvane.exe, version 1 and old.pak; else an empty folder
        const char* recorded;    // the serial file before, if any
        std::string manifest;
        std::string verdict;
        bool updated;            // a.pak installed, old.pak removed, version 2 recorded; else nothing touched
        std::string serialAfter;
        std::string refusal = "";  // the log's refusal line
        bool recordHeld = false;   // another program holds the serial file open, sharing nothing
    } cases[] = {
        {"first installation", false, nullptr, Signed(v2, 5, kFirst), Installed("2"), true, "5\n"},
        {"signed by the second key", true, "4", Signed(v2, 5, kSecond), Updated("2"), true, "5\n"},
        {"no signature", true, nullptr, v2, kManifestRejected, false, "<absent>", kNoSignature},
        {"no signature, first installation", false, nullptr, v2, kManifestRejected, false, "<absent>", kNoSignature},
        {"a key this launcher does not know", true, nullptr, Signed(v2, 5, kStranger), kManifestRejected, false, "<absent>", kNoKey},
        {"sha256 changed", true, nullptr, tampered(DigestOf(a), DigestOf(b)), kManifestRejected, false, "<absent>", kNoKey},
        {"size changed", true, nullptr, tampered("\"size\": 300", "\"size\": 301"), kManifestRejected, false, "<absent>", kNoKey},
        {"path changed", true, nullptr, tampered("\"a.pak\"", "\"Orvane.exe\""), kManifestRejected, false, "<absent>", kNoKey},
        {"url changed", true, nullptr, tampered(kA, "/updates/v/b.pak"), kManifestRejected, false, "<absent>", kNoKey},
        {"deletedFiles changed", true, nullptr, tampered("\"old.pak\"", "\"Orvane.exe\""), kManifestRejected, false, "<absent>", kNoKey},
        {"mandatory changed", true, nullptr, tampered("\"mandatory\": false", "\"mandatory\": true"), kManifestRejected, false,
         "<absent>", kNoKey},
        {"serial changed", true, nullptr, tampered("\"serial\": 5", "\"serial\": 6"), kManifestRejected, false, "<absent>", kNoKey},
        {"an older serial replayed", true, "7", Signed(v2, 6, kFirst), kManifestRejected, false, "7\n",
         "Manifest refused: serial 6 is lower than 7, accepted before."},
        {"the same serial again", true, "7", Signed(Manifest("1", false, {}), 7, kFirst), Current("1"), false, "7\n"},
        {"a higher serial", true, "7", Signed(v2, 8, kFirst), Updated("2"), true, "8\n"},
        {"a record that cannot be read is not taken for none", true, "7", Signed(v2, 6, kFirst), kManifestRejected, false,
         "7\n", "Manifest refused: the recorded serial cannot be read: 32", true},
        {"two version keys", true, nullptr, Signed(twoVersions, 5, kFirst), Updated("2"), true, "5\n"},
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
        if (c.recorded) {
            WriteBytes(InPath(game, "launcher-manifest-serial.txt"), c.recorded + std::string("\n"));
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
        std::string files, expectedFiles = c.updated ? a + "|<absent>|2\n|" : std::string("<absent>|") +
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
    }
}
