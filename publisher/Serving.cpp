// Serving a version: recorded in the history, then its manifests written (signed when a key is given),
// full.json before latest.json, each whole.
#include "publisher/Serving.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "publisher/History.h"
#include "publisher/Plan.h"
#include "publisher/ProgressLine.h"
#include "publisher/Store.h"
#include "update/Manifest.h"

namespace fs = std::filesystem;

namespace {


bool WriteManifests(const fs::path& root, const std::string& manifest, std::string& error) {
    // full.json before latest.json, both after the history: a player never sees a manifest naming a
    // file that is not stored, and the history never forgets files that later versions must delete.
    return WriteWhole(root / "updates" / "full.json", manifest, error, true) &&
           WriteWhole(root / "updates" / "latest.json", manifest, error, true);
}

// The manifest signed with the serial, or an error when it would not verify as the launcher verifies
// it (the text is read back with the launcher's scanner as the version was meant, too).
bool Seal(EVP_PKEY* key, uint64_t serial, const PublishedVersion& record, const std::vector<std::string>& deleted,
          std::string& manifest, std::string& error) {
    manifest = WithSeal(manifest, serial, SignManifest(key, manifest, serial));
    uint64_t read = 0;
    error = SealProblem(key, manifest, read);
    if (error.empty() && read != serial) {
        error = "another serial";
    }
    if (error.empty()) {
        error = ReadBackProblem(manifest, record.version, record.mandatory, record.files, deleted);
    }
    if (!error.empty()) {
        error = "the signed manifest of " + record.version + " would not verify as the launcher verifies it: " + error;
    }
    return error.empty();
}

// A label recorded last, re-run: serves it unless it is served already (a run cut off after the version
// was recorded leaves it recorded but not served). Its stored files were checked, and stored again where
// missing, by the publish that calls this; a rollback refused first if any is gone.
bool CompleteServing(const fs::path& root, sqlite3* db, const PublishedVersion& recorded, EVP_PKEY* key,
                     std::string& error) {
    if (recorded.serial != 0 && (!key || PublicLine(key) != recorded.key)) {
        error = recorded.version + " was signed with another key (" + recorded.key + "); run again with that key";
        return false;
    }
    std::vector<std::string> deleted;
    if (!ObsoletePaths(db, recorded.version, recorded.files, deleted, error)) {
        return false;
    }
    std::string manifest = ManifestText(recorded.version, recorded.mandatory, recorded.files, deleted);
    std::string latest, full;
    bool read = ReadWhole(root / "updates" / "latest.json", latest) && ReadWhole(root / "updates" / "full.json", full);
    // A signature is made anew each time: what is served counts as this manifest when it carries a good one.
    uint64_t serial = 0;
    std::string served = recorded.serial == 0 ? manifest
                                              : WithSeal(manifest, recorded.serial, FindStringValue(latest, "signature"));
    if (read && latest == served && full == served && (recorded.serial == 0 || SealProblem(key, latest, serial).empty())) {
        std::printf("%s is already published with these files; nothing to do\n", recorded.version.c_str());
        return true;
    }
    if ((recorded.serial != 0 && !Seal(key, recorded.serial, recorded, deleted, manifest, error)) ||
        !WriteManifests(root, manifest, error)) {
        return false;
    }
    std::fprintf(stderr, "completed serving %s\n", recorded.version.c_str());
    return true;
}

}  // namespace

std::string NowUtc() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// Paths and sizes alike, and digests too unless a build not yet read is compared.
bool SameFiles(const std::vector<BuildFile>& a, const std::vector<BuildFile>& b, bool digests) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].path != b[i].path || (digests && a[i].sha256 != b[i].sha256) || a[i].size != b[i].size) {
            return false;
        }
    }
    return true;
}

std::string AlreadyPublished(const PublishedVersion& recorded, const PublishedVersion& record) {
    return "version " + record.version + " is already published with other files" +
           (recorded.mandatory != record.mandatory ? " or another mandatory flag" : "") +
           "; players on it would never receive this build. Publish it under a new version label";
}

long RecordedIndex(const std::vector<PublishedVersion>& history, const std::string& version) {
    for (size_t i = history.size(); i-- > 0;) {
        if (history[i].version == version) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

bool ServeVersion(const fs::path& root, sqlite3* db, const std::vector<PublishedVersion>& versions,
                  const PublishedVersion& last, PublishedVersion& record, bool plan, const PlayerLink& link, EVP_PKEY* key,
                  std::string& error) {
    if (RecordedIndex(versions, record.version) >= 0) {
        // Players on this label compare equal to it and would never receive different files.
        if (!SameFiles(last.files, record.files) || last.mandatory != record.mandatory) {
            error = AlreadyPublished(last, record);
            return false;
        }
        if (plan) {
            std::printf("%s is already published with these files; nothing to do\n", record.version.c_str());
            return true;
        }
        return CompleteServing(root, db, last, key, error);
    }
    std::vector<std::string> deleted;
    if (!ObsoletePaths(db, "", record.files, deleted, error)) {
        return false;
    }
    std::string manifest = ManifestText(record.version, record.mandatory, record.files, deleted);
    std::string problem = ReadBackProblem(manifest, record.version, record.mandatory, record.files, deleted);
    if (!problem.empty()) {
        error = problem;
        return false;
    }
    if (plan) {
        return PrintPlan(root, db, versions, last, record, link, deleted, error);
    }
    if (key) {
        record.serial = NextSerial(versions, SerialNow());
        record.key = PublicLine(key);
        if (!Seal(key, record.serial, record, deleted, manifest, error)) {
            return false;
        }
    }
    record.publishedAt = NowUtc();
    if (!AppendVersion(db, record, error, &last) || !WriteManifests(root, manifest, error)) {
        return false;
    }
    std::fprintf(stderr, "published %s: %s, %s%s\n", record.version.c_str(), Count(record.files.size(), "file").c_str(),
                 Count(deleted.size(), "obsolete path").c_str(),
                 record.serial ? (", signed with serial " + std::to_string(record.serial)).c_str() : "");
    return true;
}

