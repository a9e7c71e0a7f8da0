// What the history says of the build's names as Windows compares them: paths to delete from players'
// folders, and a file where a recorded version had a folder (or the reverse). Every recorded key is
// read once through its index and compared in memory.
#include <algorithm>
#include <functional>
#include <string_view>
#include <unordered_set>

#include "publisher/History.h"
#include "publisher/HistorySql.h"

namespace {

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

// Every recorded path's key and id, in the order of the keys, to `each` (the key only until the next).
bool RecordedKeys(sqlite3* db, const std::function<void(std::string_view, int64_t)>& each, std::string& error) {
    Statement s = Prepare(db, "SELECT key, id FROM paths ORDER BY key");
    bool done = false;
    while (s && NextRow(s.get(), done)) {
        each(std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0)),
                              static_cast<size_t>(sqlite3_column_bytes(s.get(), 0))),
             sqlite3_column_int64(s.get(), 1));
    }
    if (!done) {
        error = DbError(db);
    }
    return done;
}

// The files' keys, those the walk did not find worked out into `worked` (which holds them while the
// views are used).
std::unordered_set<std::string_view> KeysOf(const std::vector<BuildFile>& files, std::vector<std::string>& worked) {
    std::unordered_set<std::string_view> keys;
    keys.reserve(files.size());
    worked.reserve(files.size());
    for (const BuildFile& f : files) {
        keys.insert(f.key.empty() ? std::string_view(worked.emplace_back(WindowsNameKey(f.path))) : std::string_view(f.key));
    }
    return keys;
}

// Whether the key before (in the order of keys) had the same folder up to `slash`: it was looked at then.
bool SameFolder(std::string_view before, std::string_view key, size_t slash) {
    return before.size() > slash && before[slash] == '/' && before.substr(0, slash) == key.substr(0, slash);
}

// The latest version that had the path p (named so by the query this stands in).
constexpr char kLastHolder[] =
    "(SELECT MAX(COALESCE(f.until - 1, (SELECT MAX(id) FROM versions))) FROM files f WHERE f.pathId = p.id)";

// Whether any recorded file stands where the files need a folder, or any recorded path lies under one
// of the files' names (the query that names them is asked only then), with the files' keys in memory.
bool MayConflict(sqlite3* db, const std::vector<BuildFile>& files, bool& found, std::string& error) {
    std::vector<std::string> worked;
    std::unordered_set<std::string_view> fileKeys = KeysOf(files, worked), folderKeys;
    std::string_view previous;
    size_t next = 0;  // of the keys worked out, in the files' order
    for (const BuildFile& f : files) {
        std::string_view key = f.key.empty() ? std::string_view(worked[next++]) : std::string_view(f.key);
        for (size_t slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
            if (!SameFolder(previous, key, slash)) {
                folderKeys.insert(key.substr(0, slash));
            }
        }
        previous = key;
    }
    std::string before;
    return RecordedKeys(db, [&](std::string_view key, int64_t) {
        found = found || folderKeys.count(key) != 0;
        for (size_t slash = key.find('/'); !found && slash != std::string::npos; slash = key.find('/', slash + 1)) {
            found = !SameFolder(before, key, slash) && fileKeys.count(key.substr(0, slash)) != 0;
        }
        before.assign(key);
    }, error);
}

}  // namespace

// Deleting a path Windows takes for a current one would remove a file the launcher just installed.
// Of several spellings of one name, the one recorded first is listed, as players' folders have it.
bool ObsoletePaths(sqlite3* db, const std::string& beforeLabel, const std::vector<BuildFile>& current,
                   std::vector<std::string>& paths, std::string& error) {
    paths.clear();
    int64_t before = beforeLabel.empty() ? LastId(db) + 1 : VersionId(db, beforeLabel);
    if (before <= 1) {
        return true;  // nothing recorded before it
    }
    std::vector<std::string> worked;
    std::unordered_set<std::string_view> now = KeysOf(current, worked);
    std::vector<std::pair<std::string, int64_t>> keys;  // of recorded paths gone from `current`
    if (!RecordedKeys(db, [&](std::string_view key, int64_t id) {
            if (!now.count(key)) {
                keys.emplace_back(key, id);
            }
        }, error)) {
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
                    "); restore it from a backup, or remove that path from it (see \"History, rollback and pruning\" in "
                    "the shipping guide). Nothing was changed";
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

