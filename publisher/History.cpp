// What each command asks of the history, answered in SQL: a version's files are the rows that began
// at or before it and had not ended by it, so no command loads more versions than it needs.
#include "publisher/History.h"

#include <map>

#include "publisher/HistorySql.h"

namespace {

constexpr char kVersionColumns[] =
    "SELECT label, mandatory, publishedAt, serial, key, COALESCE(rollbackOf, ''), fileCount, bytes FROM versions ";

PublishedVersion VersionRow(sqlite3_stmt* row) {
    PublishedVersion v;
    v.version = Text(row, 0);
    v.mandatory = sqlite3_column_int(row, 1) != 0;
    v.publishedAt = Text(row, 2);
    v.serial = static_cast<uint64_t>(sqlite3_column_int64(row, 3));  // kept as its 64 bits
    v.key = Text(row, 4);
    v.rollbackOf = Text(row, 5);
    v.fileCount = static_cast<uint64_t>(sqlite3_column_int64(row, 6));
    v.bytes = static_cast<uint64_t>(sqlite3_column_int64(row, 7));
    return v;
}


}  // namespace

bool HistoryVersions(sqlite3* db, std::vector<PublishedVersion>& versions, std::string& error) {
    versions.clear();
    Statement s = Prepare(db, (std::string(kVersionColumns) + "ORDER BY id").c_str());
    bool done = false;
    while (s && NextRow(s.get(), done)) {
        versions.push_back(VersionRow(s.get()));
    }
    if (!done) {
        error = DbError(db);
    }
    return done;
}

bool VersionFiles(sqlite3* db, const std::string& label, PublishedVersion& version, std::string& error) {
    int64_t id = VersionId(db, label);
    Statement s = Prepare(db, (std::string(kVersionColumns) + "WHERE id = ?1").c_str());
    bool done = false;
    if (id == 0 || !s || (Bind(s.get(), 1, id), !NextRow(s.get(), done))) {
        error = done || id == 0 ? "no version " + label + " in the history" : DbError(db);
        return false;
    }
    version = VersionRow(s.get());
    return FilesOf(db, id, version.files, error);
}

bool LastVersion(sqlite3* db, PublishedVersion& last, std::string& error, std::vector<FileStat>* read) {
    last = PublishedVersion{};
    Statement s = Prepare(db, (std::string(kVersionColumns) + "ORDER BY id DESC LIMIT 1").c_str());
    bool done = false;
    if (s && NextRow(s.get(), done)) {
        last = VersionRow(s.get());
        return FilesOf(db, LastId(db), last.files, error, read);
    }
    if (!done) {
        error = DbError(db);
    }
    return done;
}

std::string NewestPublishedAt(const std::vector<PublishedVersion>& versions) {
    std::string newest;
    for (const PublishedVersion& v : versions) {
        newest = std::max(newest, v.publishedAt);  // ISO 8601 in UTC sorts as text
    }
    return newest;
}

// One pass over the rows, each kept when a named version lies in its span: the versions' own lists would
// read the rows they share once for each of them.
bool NamedDigests(sqlite3* db, const std::vector<std::string>& labels, std::set<std::string>& digests,
                  std::string& error) {
    std::set<int64_t> ids;
    for (const std::string& label : labels) {
        ids.insert(VersionId(db, label));
    }
    Statement s = Prepare(db, "SELECT sha256, since, COALESCE(until, 9223372036854775807) FROM files");
    bool done = false;
    while (s && NextRow(s.get(), done)) {
        auto named = ids.lower_bound(sqlite3_column_int64(s.get(), 1));
        if (named != ids.end() && *named < sqlite3_column_int64(s.get(), 2)) {
            digests.insert(Digest(s.get(), 0));
        }
    }
    if (!done) {
        error = DbError(db);
    }
    return done;
}

std::string KnownDigest(sqlite3* db, const std::string& path, uint64_t size) {
    Statement s = Prepare(db, "SELECT f.sha256 FROM files f JOIN paths p ON p.id = f.pathId WHERE p.path = ?1 AND "
                              "f.size = ?2 ORDER BY f.since DESC LIMIT 1");
    Bind(s.get(), 1, path);
    Bind(s.get(), 2, static_cast<int64_t>(size));
    bool done = false;
    return s && NextRow(s.get(), done) ? Digest(s.get(), 0) : std::string();
}

bool AppendVersion(sqlite3* db, const PublishedVersion& record, std::string& error, const PublishedVersion* last) {
    std::vector<BuildFile> read;
    if (!Exec(db, "BEGIN IMMEDIATE", error)) {
        return false;
    }
    int64_t id = LastId(db) + 1;
    // The last version as the caller read it under the lock, unless the database says otherwise.
    PublishedVersion stored;
    Statement s = Prepare(db, (std::string(kVersionColumns) + "WHERE id = ?1").c_str());
    Bind(s.get(), 1, id - 1);
    bool done = false, current = last && s && NextRow(s.get(), done) && (stored = VersionRow(s.get()),
        stored.version == last->version && stored.publishedAt == last->publishedAt && stored.serial == last->serial &&
        stored.fileCount == last->files.size());
    const std::vector<BuildFile>& previous = current ? last->files : read;
    bool ok = (id == 1 || current || FilesOf(db, id - 1, read, error)) && WriteVersion(db, id, record, previous, error) &&
              Exec(db, "COMMIT", error);
    if (!ok) {
        std::string ignored;
        Exec(db, "ROLLBACK", ignored);
    }
    return ok;
}
