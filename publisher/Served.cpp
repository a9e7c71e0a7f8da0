// Checking and pruning the served tree against the history: each reads the versions the manifests
// name, and the kept ones, not the whole history.
#include <set>

#include "publisher/History.h"
#include "publisher/HistorySql.h"
#include "publisher/Signing.h"
#include "publisher/Store.h"
#include "support/TextEncoding.h"
#include "update/Manifest.h"
#include "update/ManifestSignature.h"

namespace fs = std::filesystem;

namespace {

const char* const kManifests[] = {"latest.json", "full.json"};

// A signed version must be served signed, with its own serial: a replayed older manifest names a
// recorded version too.
std::string ServedSealProblem(EVP_PKEY* key, const std::string& text, const PublishedVersion& served, uint64_t highest) {
    uint64_t serial = 0;
    std::string seal, signature;
    if (key) {
        seal = SealProblem(key, text, serial);
    } else if (served.serial != 0 && !FindManifestSeal(text, serial, signature)) {
        seal = "not signed";
    }
    if (seal.empty() && served.serial != 0 && serial != served.serial) {
        seal = "serial " + std::to_string(serial) + ", but the history records " + std::to_string(served.serial) +
               " for " + served.version;
    } else if (seal.empty() && served.serial != 0 && serial < highest) {
        seal = "serial " + std::to_string(serial) + ", below " + std::to_string(highest) +
               " of a version recorded after it (if a publish was cut off, run it again)";
    }
    return seal;
}

// Stored files are read as builds are, on every core, each under its own name; one unreadable stored
// file is named as such and the others are still checked.
void CheckStored(const fs::path& root, const std::vector<BuildFile>& files, std::vector<std::string>& problems) {
    std::vector<BuildFile> blobs, paths;
    for (const BuildFile& f : files) {
        std::error_code sizeError;
        if (fs::file_size(BlobPath(root, f.sha256), sizeError) != f.size || sizeError) {
            problems.push_back(f.path + ": stored file missing or of the wrong size");
        } else {
            blobs.push_back(BuildFile{f.sha256, std::string(), f.size});
            paths.push_back(f);
        }
    }
    std::vector<std::string> unreadable;
    std::vector<FileStat> none;
    std::string error;
    HashBuild(root / "updates" / "blobs", blobs, fs::path(), none, error, &unreadable);
    for (size_t i = 0; i < blobs.size(); ++i) {
        if (blobs[i].sha256.empty()) {
            problems.push_back(paths[i].path + ": stored file " + BlobPath(root, paths[i].sha256).string() + " cannot be read");
        } else if (blobs[i].sha256 != paths[i].sha256) {
            problems.push_back(paths[i].path + ": stored file does not match its SHA-256");
        }
    }
}

}  // namespace

bool ServedVersion(sqlite3* db, const std::string& text, PublishedVersion& served, std::string& problem,
                   std::string& error) {
    UpdateManifest read;
    served = PublishedVersion{};
    problem.clear();
    if (!ParseManifest(text, read) || VersionId(db, WideToUtf8(read.version)) == 0) {
        return true;
    }
    std::vector<std::string> deleted;
    if (!VersionFiles(db, WideToUtf8(read.version), served, error) ||
        !ObsoletePaths(db, served.version, served.files, deleted, error)) {
        return false;
    }
    problem = ReadBackProblem(text, served.version, served.mandatory, served.files, deleted);
    return true;
}

// Each manifest is checked against the version it names: a publish cut off between recording the
// version and writing the manifests leaves them serving the earlier version, whole.
bool Verify(const fs::path& servedRoot, std::vector<std::string>& problems, const std::string& publicKeyFile) {
    std::string error;
    SigningKey key(nullptr, &EVP_PKEY_free);
    HistoryDb db(nullptr, &sqlite3_close_v2);
    std::vector<PublishedVersion> versions;
    if (!publicKeyFile.empty() && !(key = LoadPublicKey(publicKeyFile, error))) {
        problems.push_back(error);
        return false;
    }
    bool read = OpenHistory(servedRoot, false, db, error) && HistoryVersions(db.get(), versions, error);
    // What an origin holds: the manifests and stored files, without the history they came from.
    if (read && versions.empty() && fs::exists(servedRoot / "updates" / "latest.json")) {
        return VerifyWithoutHistory(servedRoot, problems, publicKeyFile);
    }
    if (!read || versions.empty()) {
        problems.push_back(error.empty() ? "nothing has been published here" : error);
        return false;
    }
    uint64_t now = SerialNow();
    std::string ahead = SerialAheadProblem(HighestSerial(versions), now);
    if (!ahead.empty()) {
        problems.push_back("the history's " + ahead);
    }
    std::set<std::string> checked;
    for (const char* name : kManifests) {
        std::string text, problem, signature;
        PublishedVersion served;
        uint64_t serial = 0;
        if (!ReadWhole(servedRoot / "updates" / name, text)) {
            text.clear();
        }
        if (!ServedVersion(db.get(), text, served, problem, error)) {
            problems.push_back(error);
            return false;
        }
        if (served.version.empty()) {
            problems.push_back(std::string(name) + ": missing, unreadable or naming no recorded version");
            continue;
        }
        if (!problem.empty()) {
            problems.push_back(std::string(name) + ": " + problem);
        }
        if (FindManifestSeal(text, serial, signature) && serial > HighestSerial(versions) &&
            !SerialAheadProblem(serial, now).empty()) {
            problems.push_back(std::string(name) + ": " + SerialAheadProblem(serial, now));
        }
        std::string seal = ServedSealProblem(key.get(), text, served, HighestSerial(versions));
        if (!seal.empty()) {
            problems.push_back(std::string(name) + ": " + seal + "; players' launchers refuse it");
        }
        if (checked.insert(served.version).second) {
            CheckStored(servedRoot, served.files, problems);
        }
    }
    return problems.empty();
}

bool Prune(const fs::path& servedRoot, size_t keep, double lockSeconds, std::vector<std::string>& removed,
           std::string& error) {
    if (!fs::is_directory(servedRoot)) {
        error = "no served folder " + servedRoot.string() + "; nothing has been published there";
        return false;
    }
    int lock = -1;
    HistoryDb db(nullptr, &sqlite3_close_v2);
    std::vector<PublishedVersion> versions;
    if (!LockServed(servedRoot, lockSeconds, lock, error) || !OpenHistory(servedRoot, true, db, error) ||
        !HistoryVersions(db.get(), versions, error)) {
        UnlockServed(lock);
        return false;
    }
    if (versions.empty()) {
        UnlockServed(lock);
        error = "nothing has been published here";
        return false;
    }
    std::vector<std::string> kept;
    for (size_t i = versions.size() > keep ? versions.size() - keep : 0; i < versions.size(); ++i) {
        kept.push_back(versions[i].version);
    }
    // What the manifests serve stays, even when a cut-off publish recorded a newer version after it.
    for (const char* name : kManifests) {
        std::string text;
        UpdateManifest read;
        if (ReadWhole(servedRoot / "updates" / name, text) && ParseManifest(text, read) &&
            VersionId(db.get(), WideToUtf8(read.version)) != 0) {
            kept.push_back(WideToUtf8(read.version));
        }
    }
    std::set<std::string> referenced;
    if (!NamedDigests(db.get(), kept, referenced, error)) {
        UnlockServed(lock);
        return false;
    }
    fs::path blobs = servedRoot / "updates" / "blobs";
    std::error_code walkError;
    for (const auto& entry : fs::directory_iterator(blobs, walkError)) {
        std::string name = entry.path().filename().string();
        std::error_code removeError;
        if (!referenced.count(name) && fs::remove(entry.path(), removeError)) {
            removed.push_back(name);
        }
    }
    if (walkError) {
        error = "cannot read " + blobs.string() + ": " + walkError.message();
    }
    bool ok = !walkError && SyncFolder(blobs, error);
    UnlockServed(lock);
    return ok;
}
