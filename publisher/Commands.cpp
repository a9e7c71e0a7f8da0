// The served tree: updates/latest.json, updates/full.json and updates/blobs/<sha256> are served;
// publish-history.db and publish.lock beside updates/ are not.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "publisher/History.h"
#include "publisher/ProgressLine.h"
#include "publisher/Publisher.h"
#include "publisher/Serving.h"
#include "publisher/Signing.h"
#include "publisher/Store.h"
#include "update/Manifest.h"

namespace fs = std::filesystem;

namespace {

// Files changed this shortly before a publish began are read again by the next: a change within the
// same tick of the file system's clock would leave their times as they were.
constexpr std::chrono::seconds kSettling{2};

// Refusals that need only paths and sizes, made before anything is stored: a label recorded before
// the last version (players on a later one would never be offered it), a label recorded with other
// files, names that change between file and folder, and a clock behind the last publish. A plan needs
// no key (the key only signs): without one it says that the real run will need it.
bool FitsHistory(sqlite3* db, const std::vector<PublishedVersion>& versions, const PublishedVersion& last,
                 const PublishedVersion& record, EVP_PKEY* key, const PublishOptions& options, std::string& error) {
    error = SigningProblem(versions, record.version, key ? PublicLine(key) : std::string(), options.switchKey);
    if (!error.empty() && options.dryRun && !key) {
        std::printf("signing: the versions here are signed; the real run needs --signing-key (this plan needs none)\n");
        error.clear();
    }
    if (!error.empty()) {
        return false;
    }
    // Serials come from the clock: one behind the history's last publish, after a history was restored
    // from a backup, would hand out a serial again that players' launchers have seen.
    std::string newest = NewestPublishedAt(versions);
    if (!options.dryRun && !options.clockBehindOk && NowUtc() < newest) {
        error = "this machine's clock is behind the last publish of " + newest + ": set it right and run again (serials "
                "come from it). Only if that recorded time is the wrong one (verify names its serial as ahead of the "
                "clock), give --clock-behind-ok";
        return false;
    }
    long index = RecordedIndex(versions, record.version);
    if (index >= 0 && static_cast<size_t>(index) + 1 != versions.size()) {
        error = "version " + record.version + " is already published, and " + last.version +
                " after it; players compare labels, so serving it again would reach no one. Use a new version label";
        return false;
    }
    if (index >= 0 && (!SameFiles(last.files, record.files, false) || last.mandatory != record.mandatory)) {
        error = AlreadyPublished(last, record);
        return false;
    }
    std::string conflict;
    if (!ShapeConflict(db, record.files, conflict, error)) {
        return false;
    }
    error = conflict;
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

// What each file of the build most likely is: as the last publish read it (`lastRead`, beside the last
// version's files); else the last version's digest at the same name and size, else the latest recorded
// there at that size (a publish after a rollback brings back bytes stored before), so that a file stored
// already is never written again.
void KnownFiles(sqlite3* db, const fs::path& root, const std::vector<PublishedVersion>& versions,
                const PublishedVersion& last, const std::vector<FileStat>& lastRead, const std::vector<BuildFile>& files,
                bool recorded, std::vector<FileStat>& known) {
    known.assign(files.size(), FileStat{});
    // Both in the order of paths, read side by side.
    for (size_t i = 0, j = 0; i < files.size(); ++i) {
        for (; j < last.files.size() && last.files[j].path < files[i].path; ++j) {
        }
        const BuildFile* was = j < last.files.size() && last.files[j].path == files[i].path ? &last.files[j] : nullptr;
        if (was && j < lastRead.size() && lastRead[j].inode != 0 && lastRead[j].size == files[i].size) {
            known[i] = lastRead[j];
        }
        bool likely = was && known[i].sha256.empty() && was->size == files[i].size && (recorded || BlobStored(root, *was));
        if (known[i].sha256.empty() && !versions.empty()) {
            known[i].sha256 = likely ? was->sha256 : KnownDigest(db, files[i].path, files[i].size);
        }
    }
}

// The history of ROOT as far as a publish or rollback needs it: every version's row and the last one's
// files (with `lastRead`, what the build was at each when last read).
bool ReadForServing(const fs::path& root, const PublishOptions& options, int& lock, HistoryDb& db,
                    std::vector<PublishedVersion>& versions, PublishedVersion& last, std::string& error,
                    std::vector<FileStat>* lastRead = nullptr) {
    bool ok= (options.dryRun || LockServed(root, options.lockSeconds, lock, error)) &&
           OpenHistory(root, !options.dryRun, db, error) && HistoryVersions(db.get(), versions, error);
    ok = ok && LastVersion(db.get(), last, error, lastRead);
    return ok;
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
    auto started = std::chrono::system_clock::now() - kSettling;
    std::vector<BuildFile> files;
    std::vector<FileStat> seen;
    std::vector<std::string> warnings;
    if (!error.empty() || !CollectBuild(buildFolder, files, warnings, error, &seen)) {
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
    HistoryDb db(nullptr, &sqlite3_close_v2);
    std::vector<PublishedVersion> versions;
    PublishedVersion last, record{options.version, options.mandatory, "", std::move(files)};
    std::vector<FileStat> lastRead, known, read;
    if (!ReadForServing(servedRoot, options, lock, db, versions, last, error, &lastRead) ||
        !FitsHistory(db.get(), versions, last, record, key.get(), options, error)) {
        UnlockServed(lock);
        return false;
    }
    // A label recorded last is the same build (or refused below), re-run to complete serving it: its
    // stored files are checked again and any that went missing stored anew.
    bool recorded = RecordedIndex(versions, options.version) >= 0;
    bool store = !options.dryRun;
    fs::path blobs = servedRoot / "updates" / "blobs";
    if (store && !CreateServedFolders(blobs, error)) {
        UnlockServed(lock);
        return false;
    }
    KnownFiles(db.get(), servedRoot, versions, last, lastRead, record.files, recorded, known);
    read = known;
    StoreCount stored;
    bool ok = HashBuild(buildFolder, record.files, store ? servedRoot : fs::path(), read, error, nullptr, &stored, &seen);
    if (ok && stored.files != 0) {
        std::fprintf(stderr, "wrote %s, %llu bytes, into the store\n", Count(stored.files, "file").c_str(),
                     static_cast<unsigned long long>(stored.bytes));
    }
    ok = ok && ServeVersion(servedRoot, db.get(), versions, last, record, options.dryRun, options.playerLink, key.get(), error);
    std::string unrecorded;
    int64_t settled = std::chrono::duration_cast<std::chrono::nanoseconds>(started.time_since_epoch()).count();
    if (ok && store && !RecordBuildFiles(db.get(), record.files, known, read, settled, unrecorded)) {
        std::fprintf(stderr, "orvane-publish: warning: %s; the next publish reads the whole build\n", unrecorded.c_str());
    }
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
    HistoryDb db(nullptr, &sqlite3_close_v2);
    std::vector<PublishedVersion> versions;
    PublishedVersion last, source;
    if (!error.empty() || !ReadForServing(servedRoot, options, lock, db, versions, last, error)) {
        UnlockServed(lock);
        return false;
    }
    bool known = RecordedIndex(versions, from) >= 0;
    std::string missing;
    if (!known) {
        error = "no version " + from + " in the history (see: orvane-publish history)";
    } else if (VersionFiles(db.get(), from, source, error)) {
        for (const BuildFile& f : source.files) {
            missing += BlobStored(servedRoot, f) ? "" : (missing.empty() ? "" : ", ") + f.path;
        }
    }
    if (known && error.empty() && !missing.empty()) {
        error = "cannot roll back to " + from + ": prune has removed its stored files " + missing +
                "; publish that build again under a new version label instead";
    }
    PublishedVersion record{options.version, options.mandatory, "", source.files};
    record.rollbackOf = from;
    bool ok = error.empty() && FitsHistory(db.get(), versions, last, record, key.get(), options, error) &&
              ServeVersion(servedRoot, db.get(), versions, last, record, options.dryRun, options.playerLink, key.get(), error);
    UnlockServed(lock);
    return ok;
}
