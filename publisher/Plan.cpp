// The plan: what a player downloads is every entry whose digest differs from what their version had
// at the same name, so the plan counts exactly that for each recent version.
#include "publisher/Plan.h"

#include <cstdio>
#include <map>
#include <set>

#include "publisher/HistorySql.h"
#include "publisher/ProgressLine.h"
#include "publisher/Store.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kPlanVersions = 5;
constexpr size_t kPlanPaths = 20;

// Each name as Windows compares it, with the digest the version has there; empty: no file there.
using Digests = std::map<std::string, std::string>;

// An earlier version as it differs from the last: its rows that ended since, and no file where the
// last version's rows began after it. Only what changed since is read.
bool ChangedSince(sqlite3* db, int64_t id, Digests& changed, std::string& error) {
    Statement s = Prepare(db, "SELECT p.key, f.sha256, f.until IS NULL FROM files f JOIN paths p ON p.id = f.pathId "
                              "WHERE (f.until IS NULL AND f.since > ?1) OR (f.until > ?1 AND f.since <= ?1) "
                              "ORDER BY f.until IS NULL DESC");
    Bind(s.get(), 1, id);
    bool done = false;
    while (s && NextRow(s.get(), done)) {
        changed[Text(s.get(), 0)] = sqlite3_column_int(s.get(), 2) ? std::string() : Digest(s.get(), 1);
    }
    if (!done) {
        error = DbError(db);
    }
    return done;
}

}  // namespace

bool PrintPlan(const fs::path& root, sqlite3* db, const std::vector<PublishedVersion>& versions,
               const PublishedVersion& last, const PublishedVersion& record, const PlayerLink& link,
               const std::vector<std::string>& obsolete, std::string& error) {
    Digests lastDigests;
    for (const BuildFile& f : last.files) {
        lastDigests[WindowsNameKey(f.path)] = f.sha256;
    }
    size_t unchanged = 0, toStore = 0;
    std::vector<std::string> added, changed;
    uint64_t storeBytes = 0;
    std::set<std::string> counted;
    std::string scratch;
    for (const BuildFile& f : record.files) {
        auto was = lastDigests.find(KeyOf(f, scratch));
        was == lastDigests.end() ? added.push_back(f.path) : was->second == f.sha256 ? void(++unchanged) : changed.push_back(f.path);
        if (!BlobStored(root, f) && counted.insert(f.sha256).second) {
            ++toStore;
            storeBytes += f.size;
        }
    }
    std::printf("plan for %s (nothing written):\n  files: %zu new, %zu changed, %zu unchanged, %zu obsolete\n"
                "  to store: %s, %llu bytes\n",
                record.version.c_str(), added.size(), changed.size(), unchanged, obsolete.size(),
                Count(toStore, "file").c_str(), static_cast<unsigned long long>(storeBytes));
    for (size_t i = versions.size(); i-- > 0 && versions.size() - i <= kPlanVersions;) {
        Digests since;
        if (i + 1 < versions.size() && !ChangedSince(db, static_cast<int64_t>(i) + 1, since, error)) {
            return false;
        }
        size_t files = 0;
        uint64_t bytes = 0;
        for (const BuildFile& f : record.files) {
            const std::string& key = KeyOf(f, scratch);
            auto differs = since.find(key);
            auto was = lastDigests.find(key);
            const std::string* had = differs != since.end() ? &differs->second
                                                            : was != lastDigests.end() ? &was->second : nullptr;
            if (!had || had->empty() || *had != f.sha256) {
                ++files;
                bytes += f.size;
            }
        }
        std::printf("  a player on %s downloads %s, %llu bytes%s\n", versions[i].version.c_str(),
                    Count(files, "file").c_str(), static_cast<unsigned long long>(bytes),
                    UpdateEstimate(files, bytes, link).c_str());
    }
    // Named too: every obsolete path (players' launchers delete them), the first new and changed ones.
    const std::pair<const char*, const std::vector<std::string>*> lists[] = {
        {"new", &added}, {"changed", &changed}, {"obsolete, deleted from players' folders", &obsolete}};
    for (const auto& [what, paths] : lists) {
        std::printf(paths->empty() ? "" : "  %s: %s\n", what,
                    NamesText(*paths, paths == &obsolete ? paths->size() : kPlanPaths).c_str());
    }
    return true;
}
