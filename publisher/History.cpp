// What each command asks of the history, answered in SQL: a version's files are the rows that began
// at or before it and had not ended by it, so no command loads more versions than it needs.
#include "publisher/History.h"

#include <algorithm>
#include <map>
#include <unordered_set>

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

// Every recorded path's key (with its path's id), in the order of the keys.
bool RecordedKeys(sqlite3* db, std::vector<std::pair<std::string, int64_t>>& keys, std::string& error) {
    Statement s = Prepare(db, "SELECT key, id FROM paths ORDER BY key");
    bool done = false;
    while (s && NextRow(s.get(), done)) {
        keys.emplace_back(Text(s.get(), 0), sqlite3_column_int64(s.get(), 1));
    }
    if (!done) {
        error = DbError(db);
    }
    return done;
}

// The latest version that had the path p (named so by the query this stands in).
constexpr char kLastHolder[] =
    "(SELECT MAX(COALESCE(f.until - 1, (SELECT MAX(id) FROM versions))) FROM files f WHERE f.pathId = p.id)";

// Whether any recorded file stands where the files need a folder, or any recorded path lies under one
// of the files' names (the query that names them is asked only then): every key held in memory at once.
bool MayConflict(sqlite3* db, const std::vector<BuildFile>& files, bool& found, std::string& error) {
    std::vector<std::pair<std::string, int64_t>> keys;
    if (!RecordedKeys(db, keys, error)) {
        return false;
    }
    // A folder of the path before (in the order of keys or of paths) was taken or looked at then.
    auto sharedFolder = [](const std::string& before, const std::string& key, size_t slash) {
        return before.size() > slash && before[slash] == '/' && before.compare(0, slash, key, 0, slash) == 0;
    };
    std::unordered_set<std::string> recordedFiles, recordedFolders;
    for (size_t i = 0; i < keys.size(); ++i) {
        const std::string& key = keys[i].first;
        recordedFiles.insert(key);
        for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
            if (i == 0 || !sharedFolder(keys[i - 1].first, key, slash)) {
                recordedFolders.insert(key.substr(0, slash));
            }
        }
    }
    std::string previous;
    for (size_t i = 0; i < files.size() && !found; ++i) {
        std::string key = WindowsNameKey(files[i].path);
        found = recordedFolders.count(key) != 0;
        for (size_t slash = key.find('/'); !found && slash != std::string::npos; slash = key.find('/', slash + 1)) {
            found = !sharedFolder(previous, key, slash) && recordedFiles.count(key.substr(0, slash)) != 0;
        }
        previous.swap(key);
    }
    return true;
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
    std::unordered_set<std::string> now;
    for (const BuildFile& f : current) {
        now.insert(WindowsNameKey(f.path));
    }
    std::vector<std::pair<std::string, int64_t>> keys;
    if (!RecordedKeys(db, keys, error)) {
        return false;
    }
    // Of each name gone from `current`, the spelling recorded first (then the least path).
    Statement s = Prepare(db, "SELECT path, first, (SELECT label FROM versions WHERE id = first) FROM (SELECT p.path,"
                              " (SELECT MIN(since) FROM files f WHERE f.pathId = p.id) AS first FROM paths p WHERE p.id = ?1)");
    struct Gone {
        int64_t first;
        std::string path, label;
    };
    for (size_t i = 0, end = 0; i < keys.size(); i = end) {
        for (end = i; end < keys.size() && keys[end].first == keys[i].first; ++end) {
        }
        if (now.count(keys[i].first)) {
            continue;
        }
        std::vector<Gone> spellings;
        for (size_t k = i; k < end; ++k) {
            bool done = false;
            Bind(s.get(), 1, keys[k].second);
            bool row = NextRow(s.get(), done);
            if (!row && !done) {
                error = DbError(db);
                return false;
            }
            if (row && sqlite3_column_type(s.get(), 1) != SQLITE_NULL && sqlite3_column_int64(s.get(), 1) < before) {
                spellings.push_back(Gone{sqlite3_column_int64(s.get(), 1), Text(s.get(), 0), Text(s.get(), 2)});
            }
            sqlite3_reset(s.get());
        }
        if (spellings.empty()) {
            continue;
        }
        const Gone& first = *std::min_element(spellings.begin(), spellings.end(), [](const Gone& a, const Gone& b) {
            return a.first != b.first ? a.first < b.first : a.path < b.path;
        });
        std::string problem = RecordedPathProblem(first.path);
        if (!problem.empty()) {
            error = std::string(sqlite3_db_filename(db, "main")) + " is damaged (version " + first.label +
                    " holds the path '" + first.path + "', which every player's launcher " + problem +
                    "); restore it from a backup. Nothing was changed";
            return false;
        }
        paths.push_back(first.path);
    }
    return true;
}

// The launcher installs before it removes, so a player on such a version would be stuck at this path.
bool ShapeConflict(sqlite3* db, const std::vector<BuildFile>& files, std::string& conflict, std::string& error) {
    conflict.clear();
    if (LastId(db) == 0) {
        return true;  // nothing recorded to conflict with
    }
    bool found = false;
    if (!MayConflict(db, files, found, error) || !found) {
        return error.empty();
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
