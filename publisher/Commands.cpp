// The served tree: updates/latest.json, updates/full.json and updates/blobs/<sha256> are served;
// publish-history.json and publish.lock beside updates/ are not.
#include <cstdio>
#include <ctime>
#include <map>
#include <set>

#include "publisher/Estimate.h"
#include "publisher/Publisher.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kPlanVersions = 5;

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

bool SameFiles(const std::vector<BuildFile>& a, const std::vector<BuildFile>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].path != b[i].path || a[i].sha256 != b[i].sha256 || a[i].size != b[i].size) {
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
               size_t obsolete) {
    std::map<std::string, std::string> last = DigestsByName(history.empty() ? std::vector<BuildFile>()
                                                                             : history.back().files);
    size_t added = 0, changed = 0, unchanged = 0, toStore = 0;
    uint64_t storeBytes = 0;
    std::set<std::string> counted;
    for (const BuildFile& f : record.files) {
        auto was = last.find(WindowsNameKey(f.path));
        (was == last.end() ? added : was->second == f.sha256 ? unchanged : changed) += 1;
        if (!BlobStored(root, f) && counted.insert(f.sha256).second) {
            ++toStore;
            storeBytes += f.size;
        }
    }
    std::printf("plan for %s (nothing written):\n  files: %zu new, %zu changed, %zu unchanged, %zu obsolete\n"
                "  to store: %zu files, %llu bytes\n",
                record.version.c_str(), added, changed, unchanged, obsolete, toStore,
                static_cast<unsigned long long>(storeBytes));
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
        std::printf("  a player on %s downloads %zu files, %llu bytes%s\n", history[i].version.c_str(), files,
                    static_cast<unsigned long long>(bytes), UpdateEstimate(files, bytes).c_str());
    }
}

bool WriteManifests(const fs::path& root, const std::string& manifest, std::string& error) {
    // full.json before latest.json, both after the history: a player never sees a manifest naming a
    // file that is not stored, and the history never forgets files that later versions must delete.
    return WriteWhole(root / "updates" / "full.json", manifest, error) &&
           WriteWhole(root / "updates" / "latest.json", manifest, error);
}

long RecordedIndex(const std::vector<PublishedVersion>& history, const std::string& version) {
    for (size_t i = history.size(); i-- > 0;) {
        if (history[i].version == version) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

bool ReadManifest(const fs::path& file, std::string& text) {
    std::error_code sizeError;
    uint64_t size = fs::file_size(file, sizeError);
    if (sizeError) {
        return false;
    }
    FILE* in = std::fopen(file.c_str(), "rb");
    text.assign(size, '\0');
    bool ok = in && std::fread(&text[0], 1, size, in) == size;
    if (in) {
        std::fclose(in);
    }
    return ok;
}

}  // namespace

bool ServeVersion(const fs::path& root, std::vector<PublishedVersion>& history, PublishedVersion record, bool plan,
                  std::string& error) {
    long index = RecordedIndex(history, record.version);
    if (index >= 0) {
        const PublishedVersion& recorded = history[static_cast<size_t>(index)];
        // Players on this label compare equal to it and would never receive different files.
        if (!SameFiles(recorded.files, record.files) || recorded.mandatory != record.mandatory) {
            error = "version " + record.version + " is already published with other files" +
                    (recorded.mandatory != record.mandatory ? " or another mandatory flag" : "") +
                    "; players on it would never receive this build. Publish it under a new version label";
            return false;
        }
        std::vector<PublishedVersion> earlier(history.begin(), history.begin() + index);
        std::string manifest = ManifestText(record.version, record.mandatory, record.files,
                                            ObsoletePaths(earlier, record.files));
        std::string latest, full;
        // The last version may be recorded but not yet served when an earlier run was cut off.
        if (plan || static_cast<size_t>(index) + 1 != history.size() ||
            (ReadManifest(root / "updates" / "latest.json", latest) && latest == manifest &&
             ReadManifest(root / "updates" / "full.json", full) && full == manifest)) {
            std::printf("%s is already published with these files; nothing to do\n", record.version.c_str());
            return true;
        }
        if (!WriteManifests(root, manifest, error)) {
            return false;
        }
        std::fprintf(stderr, "completed serving %s\n", record.version.c_str());
        return true;
    }
    std::vector<std::string> deleted = ObsoletePaths(history, record.files);
    std::string manifest = ManifestText(record.version, record.mandatory, record.files, deleted);
    std::string problem = ReadBackProblem(manifest, record.version, record.mandatory, record.files, deleted);
    if (!problem.empty()) {
        error = problem;
        return false;
    }
    if (plan) {
        PrintPlan(root, history, record, deleted.size());
        return true;
    }
    record.publishedAt = NowUtc();
    history.push_back(record);
    if (!WriteHistory(root, history, error) || !WriteManifests(root, manifest, error)) {
        return false;
    }
    std::fprintf(stderr, "published %s: %zu files, %zu obsolete paths\n", record.version.c_str(),
                 record.files.size(), deleted.size());
    return true;
}

bool Publish(const fs::path& buildFolder, const fs::path& servedRoot, const PublishOptions& options,
             std::string& error) {
    error = VersionProblem(options.version);
    std::vector<BuildFile> files;
    std::vector<std::string> warnings;
    if (!error.empty() || !CollectBuild(buildFolder, files, warnings, error)) {
        return false;
    }
    for (const std::string& w : warnings) {
        std::fprintf(stderr, "orvane-publish: warning: %s\n", w.c_str());
    }
    int lock = -1;
    std::vector<PublishedVersion> history;
    if ((!options.dryRun && !LockServed(servedRoot, options.lockSeconds, lock, error)) ||
        !ReadHistory(servedRoot, history, error)) {
        UnlockServed(lock);
        return false;
    }
    // Nothing is stored for a label already recorded: it is either the same build or refused.
    bool store = !options.dryRun && RecordedIndex(history, options.version) < 0;
    fs::path blobs = servedRoot / "updates" / "blobs";
    std::error_code folderError;
    if (store && !fs::create_directories(blobs, folderError) && folderError) {
        error = "cannot create " + blobs.string() + ": " + folderError.message();
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
        bool likely = was != before.end() && was->second->size == f.size && BlobStored(servedRoot, *was->second);
        expected.push_back(likely ? was->second->sha256 : std::string());
    }
    bool ok = HashBuild(buildFolder, files, store ? blobs : fs::path(), expected, error) &&
              ServeVersion(servedRoot, history, PublishedVersion{options.version, options.mandatory, "", files},
                           options.dryRun, error);
    UnlockServed(lock);
    return ok;
}

bool Rollback(const fs::path& servedRoot, const std::string& from, const PublishOptions& options,
              std::string& error) {
    error = VersionProblem(options.version);
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
    bool ok = error.empty() &&
              ServeVersion(servedRoot, history,
                           PublishedVersion{options.version, options.mandatory, "",
                                            history[static_cast<size_t>(index)].files},
                           options.dryRun, error);
    UnlockServed(lock);
    return ok;
}
