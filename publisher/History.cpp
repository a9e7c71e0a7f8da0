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

int64_t LastId(sqlite3* db) {
    Statement s = Prepare(db, "SELECT COALESCE(MAX(id), 0) FROM versions");
    bool done = false;
    return s && NextRow(s.get(), done) ? sqlite3_column_int64(s.get(), 0) : 0;
}

// temp.current: the files' names as Windows compares them, for the queries that ask "not among them".
// Filled in one savepoint: each insert on its own would be a transaction of its own.
bool LoadCurrent(sqlite3* db, const std::vector<BuildFile>& files, std::string& error) {
    if (!Exec(db, "CREATE TEMP TABLE IF NOT EXISTS current(key TEXT PRIMARY KEY, path TEXT NOT NULL) WITHOUT ROWID;"
                  "SAVEPOINT load; DELETE FROM temp.current", error)) {
        return false;
    }
    Statement insert = Prepare(db, "INSERT OR IGNORE INTO temp.current(key, path) VALUES (?1, ?2)");
    for (const BuildFile& f : files) {
        bool done = false;
        Bind(insert.get(), 1, WindowsNameKey(f.path));
        Bind(insert.get(), 2, f.path);
        if (!insert || (NextRow(insert.get(), done), !done)) {
            error = DbError(db);
            return false;
        }
        sqlite3_reset(insert.get());
    }
    return Exec(db, "RELEASE load", error);
}

// The latest version that had the path p (named so by the query this stands in).
constexpr char kLastHolder[] =
    "(SELECT MAX(COALESCE(f.until - 1, (SELECT MAX(id) FROM versions))) FROM files f WHERE f.pathId = p.id)";

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

bool LastVersion(sqlite3* db, PublishedVersion& last, std::string& error) {
    last = PublishedVersion{};
    Statement s = Prepare(db, (std::string(kVersionColumns) + "ORDER BY id DESC LIMIT 1").c_str());
    bool done = false;
    if (s && NextRow(s.get(), done)) {
        last = VersionRow(s.get());
        return FilesOf(db, LastId(db), last.files, error);
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

// Deleting a path Windows takes for a current one would remove a file the launcher just installed.
// Of several spellings of one name, the one recorded first is listed, as players' folders have it.
bool ObsoletePaths(sqlite3* db, const std::string& beforeLabel, const std::vector<BuildFile>& current,
                   std::vector<std::string>& paths, std::string& error) {
    paths.clear();
    int64_t before = beforeLabel.empty() ? LastId(db) + 1 : VersionId(db, beforeLabel);
    if (before <= 1) {
        return true;  // nothing recorded before it
    }
    if (!LoadCurrent(db, current, error)) {
        return false;
    }
    Statement s = Prepare(db,
        "SELECT key, path, first, (SELECT label FROM versions WHERE id = first) FROM (SELECT p.key, p.path, "
        "(SELECT MIN(since) FROM files f WHERE f.pathId = p.id) AS first FROM paths p WHERE NOT EXISTS "
        "(SELECT 1 FROM temp.current c WHERE c.key = p.key)) WHERE first < ?1 ORDER BY key, first, path");
    Bind(s.get(), 1, before);
    bool done = false;
    std::string lastKey;
    while (s && NextRow(s.get(), done)) {
        std::string key = Text(s.get(), 0), path = Text(s.get(), 1);
        if (!paths.empty() && key == lastKey) {
            continue;
        }
        std::string problem = RecordedPathProblem(path);
        if (!problem.empty()) {
            error = std::string(sqlite3_db_filename(db, "main")) + " is damaged (version " + Text(s.get(), 3) +
                    " holds the path '" + path + "', which every player's launcher " + problem +
                    "); restore it from a backup, or remove that path from it (see \"History, rollback and pruning\" in "
                    "the shipping guide). Nothing was changed";
            return false;
        }
        paths.push_back(path);
        lastKey = key;
    }
    if (!done) {
        error = DbError(db);
    }
    return done;
}

// The launcher installs before it removes, so a player on such a version would be stuck at this path.
bool ShapeConflict(sqlite3* db, const std::vector<BuildFile>& files, std::string& conflict, std::string& error) {
    conflict.clear();
    if (LastId(db) == 0) {
        return true;  // nothing recorded to conflict with
    }
    if (!LoadCurrent(db, files, error) ||
        !Exec(db, "CREATE TEMP TABLE IF NOT EXISTS folders(key TEXT PRIMARY KEY, folder TEXT, file TEXT) WITHOUT ROWID;"
                  "SAVEPOINT load; DELETE FROM temp.folders", error)) {
        return false;
    }
    Statement folder = Prepare(db, "INSERT OR IGNORE INTO temp.folders(key, folder, file) VALUES (?1, ?2, ?3)");
    // Letter case folds one character at a time and keeps every '/', so a folder's key is its path's
    // key up to the same '/'.
    for (const BuildFile& f : files) {
        std::string key = WindowsNameKey(f.path);
        size_t slash = f.path.find('/'), keySlash = key.find('/');
        for (; folder && slash != std::string::npos; slash = f.path.find('/', slash + 1), keySlash = key.find('/', keySlash + 1)) {
            bool done = false;
            Bind(folder.get(), 1, key.substr(0, keySlash));
            Bind(folder.get(), 2, f.path.substr(0, slash));
            Bind(folder.get(), 3, f.path);
            NextRow(folder.get(), done);
            sqlite3_reset(folder.get());
        }
    }
    if (!Exec(db, "RELEASE load", error)) {
        return false;
    }
    // A recorded path under a new file's name ('/' sorts just below '0'), and a recorded file at a new folder's name.
    Statement s = Prepare(db,
        (std::string("SELECT file, kind, folder, recorded, (SELECT label FROM versions WHERE id = holder) FROM ("
                     "SELECT c.path AS file, 1 AS kind, '' AS folder, p.path AS recorded, ") + kLastHolder +
         " AS holder FROM temp.current c JOIN paths p ON p.key >= c.key || '/' AND p.key < c.key || '0' UNION ALL "
         "SELECT d.file, 2, d.folder, p.path, " + kLastHolder + " FROM temp.folders d JOIN paths p ON p.key = d.key) "
         "ORDER BY file, kind, length(folder), holder DESC, recorded DESC LIMIT 1").c_str());
    bool done = false;
    const std::string advice = "; players on it could never install this version. Rename one of the two";
    if (s && NextRow(s.get(), done)) {
        std::string file = Text(s.get(), 0), recorded = Text(s.get(), 3), version = Text(s.get(), 4);
        conflict = sqlite3_column_int(s.get(), 1) == 1
                       ? file + " is a file, but version " + version + " has a folder of that name (holding " + recorded + ")"
                       : file + " needs a folder " + Text(s.get(), 2) + ", but version " + version + " has a file " + recorded;
        conflict += advice;
        return true;
    }
    if (!done) {
        error = DbError(db);
    }
    return done;
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

bool AppendVersion(sqlite3* db, const PublishedVersion& record, std::string& error) {
    std::vector<BuildFile> previous;
    if (!Exec(db, "BEGIN IMMEDIATE", error)) {
        return false;
    }
    int64_t id = LastId(db) + 1;
    bool ok = (id == 1 || FilesOf(db, id - 1, previous, error)) && WriteVersion(db, id, record, previous, error) &&
              Exec(db, "COMMIT", error);
    if (!ok) {
        std::string ignored;
        Exec(db, "ROLLBACK", ignored);
    }
    return ok;
}
