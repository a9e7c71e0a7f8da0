// The served tree: updates/latest.json, updates/full.json and updates/blobs/<sha256> are served;
// publish-history.json and publish.lock beside updates/ are not.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>

#include "publisher/Estimate.h"
#include "publisher/ProgressLine.h"
#include "publisher/Publisher.h"
#include "publisher/Signing.h"
#include "publisher/Store.h"
#include "update/Manifest.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kPlanVersions = 5;
constexpr size_t kPlanPaths = 20;

std::string NowUtc() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

bool BlobStored(const fs::path& root, const BuildFile& file) {
    std::error_code sizeError;
    return fs::file_size(BlobPath(root, file.sha256), sizeError) == file.size && !sizeError;
}

// Paths and sizes alike, and digests too unless a build not yet read is compared.
bool SameFiles(const std::vector<BuildFile>& a, const std::vector<BuildFile>& b, bool digests = true) {
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

std::map<std::string, std::string> DigestsByName(const std::vector<BuildFile>& files) {
    std::map<std::string, std::string> digests;
    for (const BuildFile& f : files) {
        digests[WindowsNameKey(f.path)] = f.sha256;
    }
    return digests;
}

// What a player downloads is every entry whose digest differs from what their version had at the
// same name, so the plan counts exactly that for each recent version.
void PrintPlan(const fs::path& root, const std::vector<PublishedVersion>& history, const PublishedVersion& record,
               const PlayerLink& link, const std::vector<std::string>& obsolete) {
    std::map<std::string, std::string> last = DigestsByName(history.empty() ? std::vector<BuildFile>()
                                                                             : history.back().files);
    size_t unchanged = 0, toStore = 0;
    std::vector<std::string> added, changed;
    uint64_t storeBytes = 0;
    std::set<std::string> counted;
    for (const BuildFile& f : record.files) {
        auto was = last.find(WindowsNameKey(f.path));
        was == last.end() ? added.push_back(f.path) : was->second == f.sha256 ? void(++unchanged) : changed.push_back(f.path);
        if (!BlobStored(root, f) && counted.insert(f.sha256).second) {
            ++toStore;
            storeBytes += f.size;
        }
    }
    std::printf("plan for %s (nothing written):\n  files: %zu new, %zu changed, %zu unchanged, %zu obsolete\n"
                "  to store: %s, %llu bytes\n",
                record.version.c_str(), added.size(), changed.size(), unchanged, obsolete.size(),
                Count(toStore, "file").c_str(), static_cast<unsigned long long>(storeBytes));
    for (size_t i = history.size(); i-- > 0 && history.size() - i <= kPlanVersions;) {
        std::map<std::string, std::string> had = DigestsByName(history[i].files);
        size_t files = 0;
        uint64_t bytes = 0;
        for (const BuildFile& f : record.files) {
            auto was = had.find(WindowsNameKey(f.path));
            if (was == had.end() || was->second != f.sha256) {
                ++files;
                bytes += f.size;
            }
        }
        std::printf("  a player on %s downloads %s, %llu bytes%s\n", history[i].version.c_str(), Count(files, "file").c_str(),
                    static_cast<unsigned long long>(bytes), UpdateEstimate(files, bytes, link).c_str());
    }
    // Named too: every obsolete path (players' launchers delete them), the first new and changed ones.
    const std::pair<const char*, const std::vector<std::string>*> lists[] = {
        {"new", &added}, {"changed", &changed}, {"obsolete, deleted from players' folders", &obsolete}};
    for (const auto& [what, paths] : lists) {
        std::printf(paths->empty() ? "" : "  %s: %s\n", what, NamesText(*paths, paths == &obsolete ? paths->size() : kPlanPaths).c_str());
    }
}

bool WriteManifests(const fs::path& root, const std::string& manifest, std::string& error) {
    // full.json before latest.json, both after the history: a player never sees a manifest naming a
    // file that is not stored, and the history never forgets files that later versions must delete.
    return WriteWhole(root / "updates" / "full.json", manifest, error, true) &&
           WriteWhole(root / "updates" / "latest.json", manifest, error, true);
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

// Refusals that need only paths and sizes, made before anything is stored: a label recorded before
// the last version (players on a later one would never be offered it), a label recorded with other
// files, and names that change between file and folder. A plan needs no key (the key only signs):
// without one it says that the real run will need it.
bool FitsHistory(const std::vector<PublishedVersion>& history, const PublishedVersion& record, EVP_PKEY* key,
                 bool switchKey, bool plan, std::string& error) {
    error = SigningProblem(history, record.version, key ? PublicLine(key) : std::string(), switchKey);
    if (!error.empty() && plan && !key) {
        std::printf("signing: the versions here are signed; the real run needs --signing-key (this plan needs none)\n");
        error.clear();
    }
    if (!error.empty()) {
        return false;
    }
    long index = RecordedIndex(history, record.version);
    if (index >= 0 && static_cast<size_t>(index) + 1 != history.size()) {
        error = "version " + record.version + " is already published, and " + history.back().version +
                " after it; players compare labels, so serving it again would reach no one. Use a new version label";
        return false;
    }
    const PublishedVersion* recorded = index < 0 ? nullptr : &history.back();
    if (recorded && (!SameFiles(recorded->files, record.files, false) || recorded->mandatory != record.mandatory)) {
        error = AlreadyPublished(*recorded, record);
        return false;
    }
    error = ShapeConflict(history, record.files);
    return error.empty();
}

// Two folders of which one holds the other (or both are one): a publish would store into its own build.
bool Nested(const fs::path& a, const fs::path& b) {
    std::error_code error;
    fs::path x = fs::weakly_canonical(fs::absolute(a), error), y = fs::weakly_canonical(fs::absolute(b), error);
    auto shorter = std::distance(x.begin(), x.end()) < std::distance(y.begin(), y.end()) ? x : y;
    auto longer = shorter == x ? y : x;
    return std::equal(shorter.begin(), shorter.end(), longer.begin());
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

// A label recorded last, re-run: serves it unless it is served already (a run cut off after the history
// was written leaves it recorded but not served). Its stored files were checked, and stored again where
// missing, by the publish that calls this; a rollback refused first if any is gone.
bool CompleteServing(const fs::path& root, const std::vector<PublishedVersion>& history, const PublishedVersion& recorded,
                     EVP_PKEY* key, std::string& error) {
    if (recorded.serial != 0 && (!key || PublicLine(key) != recorded.key)) {
        error = recorded.version + " was signed with another key (" + recorded.key + "); run again with that key";
        return false;
    }
    std::vector<PublishedVersion> earlier(history.begin(), history.end() - 1);
    std::vector<std::string> deleted = ObsoletePaths(earlier, recorded.files);
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

// Records the version and serves it, signed with key when there is one; a label already recorded
// with the same files only completes serving it, with other files it is refused. A plan prints what
// would change instead of writing.
bool ServeVersion(const fs::path& root, std::vector<PublishedVersion>& history, PublishedVersion record, bool plan,
                  const PlayerLink& link, EVP_PKEY* key, std::string& error) {
    long index = RecordedIndex(history, record.version);
    if (index >= 0) {
        const PublishedVersion& recorded = history[static_cast<size_t>(index)];
        // Players on this label compare equal to it and would never receive different files.
        if (!SameFiles(recorded.files, record.files) || recorded.mandatory != record.mandatory) {
            error = AlreadyPublished(recorded, record);
            return false;
        }
        if (plan) {
            std::printf("%s is already published with these files; nothing to do\n", record.version.c_str());
            return true;
        }
        return CompleteServing(root, history, recorded, key, error);
    }
    std::vector<std::string> deleted = ObsoletePaths(history, record.files);
    std::string manifest = ManifestText(record.version, record.mandatory, record.files, deleted);
    std::string problem = ReadBackProblem(manifest, record.version, record.mandatory, record.files, deleted);
    if (!problem.empty()) {
        error = problem;
        return false;
    }
    if (plan) {
        PrintPlan(root, history, record, link, deleted);
        return true;
    }
    if (key) {
        auto now = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch());
        record.serial = NextSerial(history, static_cast<uint64_t>(now.count()));
        record.key = PublicLine(key);
        if (!Seal(key, record.serial, record, deleted, manifest, error)) {
            return false;
        }
    }
    record.publishedAt = NowUtc();
    history.push_back(record);
    if (!WriteHistory(root, history, error) || !WriteManifests(root, manifest, error)) {
        return false;
    }
    std::fprintf(stderr, "published %s: %s, %s%s\n", record.version.c_str(), Count(record.files.size(), "file").c_str(),
                 Count(deleted.size(), "obsolete path").c_str(),
                 record.serial ? (", signed with serial " + std::to_string(record.serial)).c_str() : "");
    return true;
}

}  // namespace

bool Publish(const fs::path& buildFolder, const fs::path& servedRoot, const PublishOptions& options,
             std::string& error) {
    error = VersionProblem(options.version);
    SigningKey key(nullptr, &EVP_PKEY_free);
    if (error.empty() && !options.signingKey.empty()) {
        key = LoadSigningKey(options.signingKey, error);
    }
    if (error.empty() && Nested(buildFolder, servedRoot)) {
        error = "the build folder and the served folder must be apart, neither inside the other: " +
                buildFolder.string() + ", " + servedRoot.string();
    }
    std::vector<BuildFile> files;
    std::vector<std::string> warnings;
    if (!error.empty() || !CollectBuild(buildFolder, files, warnings, error)) {
        return false;
    }
    if (files.empty() && !options.allowEmpty) {
        error = "the build folder " + buildFolder.string() + " holds no files: published, it would remove every file "
                "of the game from players' folders. Give --allow-empty if that is meant";
        return false;
    }
    for (const std::string& w : warnings) {
        std::fprintf(stderr, "orvane-publish: warning: %s\n", w.c_str());
    }
    int lock = -1;
    std::vector<PublishedVersion> history;
    if ((!options.dryRun && !LockServed(servedRoot, options.lockSeconds, lock, error)) ||
        !ReadHistory(servedRoot, history, error) ||
        !FitsHistory(history, PublishedVersion{options.version, options.mandatory, "", files}, key.get(), options.switchKey,
                     options.dryRun, error)) {
        UnlockServed(lock);
        return false;
    }
    // A label recorded last is the same build (or refused below), re-run to complete serving it: its
    // stored files are checked again and any that went missing stored anew.
    bool recorded = RecordedIndex(history, options.version) >= 0;
    bool store = !options.dryRun;
    fs::path blobs = servedRoot / "updates" / "blobs";
    std::error_code folderError;
    if (store && !CreateServedFolders(blobs, error)) {
        UnlockServed(lock);
        return false;
    }
    // Temporary files of a publish that was cut off; we hold the lock, so no other run owns them.
    for (const auto& entry : store ? fs::directory_iterator(blobs, folderError) : fs::directory_iterator()) {
        if (entry.path().filename().string().rfind(".incoming-", 0) == 0) {
            fs::remove(entry.path(), folderError);
        }
    }
    std::map<std::string, const BuildFile*> before;
    for (size_t i = 0; !history.empty() && i < history.back().files.size(); ++i) {
        before[history.back().files[i].path] = &history.back().files[i];
    }
    std::vector<std::string> expected;
    for (const BuildFile& f : files) {
        auto was = before.find(f.path);
        bool likely = was != before.end() && was->second->size == f.size && (recorded || BlobStored(servedRoot, *was->second));
        expected.push_back(likely ? was->second->sha256 : std::string());
    }
    bool ok = HashBuild(buildFolder, files, store ? blobs : fs::path(), expected, error) &&
              ServeVersion(servedRoot, history, PublishedVersion{options.version, options.mandatory, "", files},
                           options.dryRun, options.playerLink, key.get(), error);
    UnlockServed(lock);
    return ok;
}

bool Rollback(const fs::path& servedRoot, const std::string& from, const PublishOptions& options,
              std::string& error) {
    error = VersionProblem(options.version);
    SigningKey key(nullptr, &EVP_PKEY_free);
    if (error.empty() && !options.signingKey.empty()) {
        key = LoadSigningKey(options.signingKey, error);
    }
    if (error.empty() && !fs::is_directory(servedRoot)) {
        error = "no served folder " + servedRoot.string() + "; nothing has been published there";
    }
    int lock = -1;
    std::vector<PublishedVersion> history;
    if (!error.empty() || (!options.dryRun && !LockServed(servedRoot, options.lockSeconds, lock, error)) ||
        !ReadHistory(servedRoot, history, error)) {
        UnlockServed(lock);
        return false;
    }
    long index = RecordedIndex(history, from);
    std::string missing;
    for (const BuildFile& f : index < 0 ? std::vector<BuildFile>() : history[static_cast<size_t>(index)].files) {
        missing += BlobStored(servedRoot, f) ? "" : (missing.empty() ? "" : ", ") + f.path;
    }
    if (index < 0) {
        error = "no version " + from + " in the history (see: orvane-publish history)";
    } else if (!missing.empty()) {
        error = "cannot roll back to " + from + ": prune has removed its stored files " + missing +
                "; publish that build again under a new version label instead";
    }
    PublishedVersion record{options.version, options.mandatory, "", index < 0 ? std::vector<BuildFile>()
                                                                              : history[static_cast<size_t>(index)].files};
    bool ok = error.empty() && FitsHistory(history, record, key.get(), options.switchKey, options.dryRun, error) &&
              ServeVersion(servedRoot, history, record, options.dryRun, options.playerLink, key.get(), error);
    UnlockServed(lock);
    return ok;
}
