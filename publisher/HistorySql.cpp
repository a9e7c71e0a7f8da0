// The history's tables and the statements every reader and writer of them shares.
#include "publisher/HistorySql.h"

#include <algorithm>

#include "publisher/Store.h"

namespace {

// A file's row lives from the version that introduced it (since) to the one that changed or removed
// it (until, NULL while the last version has it): the database grows with what changed.
constexpr char kSchema[] =
    "CREATE TABLE versions (id INTEGER PRIMARY KEY, label TEXT NOT NULL, mandatory INTEGER NOT NULL,"
    " publishedAt TEXT NOT NULL, serial INTEGER NOT NULL, key TEXT NOT NULL, rollbackOf TEXT,"
    " fileCount INTEGER NOT NULL, bytes INTEGER NOT NULL);"
    "CREATE INDEX versionsByLabel ON versions(label);"
    "CREATE TABLE paths (id INTEGER PRIMARY KEY, path TEXT NOT NULL UNIQUE, key TEXT NOT NULL);"
    "CREATE INDEX pathsByKey ON paths(key);"
    "CREATE TABLE files (pathId INTEGER NOT NULL REFERENCES paths(id), sha256 BLOB NOT NULL, size INTEGER NOT NULL,"
    " since INTEGER NOT NULL, until INTEGER, PRIMARY KEY (pathId, since)) WITHOUT ROWID;"
    "CREATE INDEX filesBySince ON files(since);"
    "CREATE INDEX filesByUntil ON files(until);"
    // The build as the last publish read it, so that a file standing as it did is not read again.
    "CREATE TABLE buildFiles (pathId INTEGER PRIMARY KEY REFERENCES paths(id), sha256 BLOB NOT NULL, size INTEGER NOT NULL,"
    " inode INTEGER NOT NULL,"
    " device INTEGER NOT NULL, modifiedNs INTEGER NOT NULL, changedNs INTEGER NOT NULL) WITHOUT ROWID;";

bool Run(sqlite3* db, sqlite3_stmt* statement, std::string& error) {
    bool done = false;
    NextRow(statement, done);
    sqlite3_reset(statement);
    if (!done) {
        error = DbError(db);
    }
    return done;
}

// Files in the order of their paths; a list already in that order (every one the publisher makes) as it is.
std::vector<const BuildFile*> ByPath(const std::vector<BuildFile>& files) {
    std::vector<const BuildFile*> sorted;
    sorted.reserve(files.size());
    for (const BuildFile& f : files) {
        sorted.push_back(&f);
    }
    auto less = [](const BuildFile* a, const BuildFile* b) { return a->path < b->path; };
    if (!std::is_sorted(sorted.begin(), sorted.end(), less)) {
        std::stable_sort(sorted.begin(), sorted.end(), less);
    }
    return sorted;
}

}  // namespace

std::string DbError(sqlite3* db) {
    const char* file = sqlite3_db_filename(db, "main");
    std::string name = file && *file ? file : "the history read into memory";
    int code = sqlite3_errcode(db);
    if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) {
        return name + " is damaged (" + sqlite3_errmsg(db) + "); restore it from a backup. Nothing was changed";
    }
    return name + ": " + sqlite3_errmsg(db);
}

bool Exec(sqlite3* db, const char* sql, std::string& error) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = DbError(db);
        return false;
    }
    return true;
}

Statement Prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* made = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &made, nullptr);
    return Statement(made, &sqlite3_finalize);
}

void Bind(sqlite3_stmt* statement, int index, const std::string& text) {
    if (statement) {
        sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
}

void Bind(sqlite3_stmt* statement, int index, int64_t number) {
    if (statement) {
        sqlite3_bind_int64(statement, index, number);
    }
}

bool NextRow(sqlite3_stmt* statement, bool& done) {
    int result = statement ? sqlite3_step(statement) : SQLITE_MISUSE;
    done = result == SQLITE_DONE;
    return result == SQLITE_ROW;
}

void BindDigest(sqlite3_stmt* statement, int index, const std::string& hex) {
    auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };  // lower-case hex, checked where read
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    if (statement) {
        sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
}

std::string Digest(sqlite3_stmt* statement, int column) {
    const void* bytes = sqlite3_column_blob(statement, column);
    return bytes ? HexText(static_cast<const unsigned char*>(bytes), static_cast<unsigned>(sqlite3_column_bytes(statement, column)))
                 : std::string();
}

std::string Text(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(statement, column)))
                : std::string();
}

bool MakeSchema(sqlite3* db, std::string& error) {
    return Exec(db, kSchema, error) && Exec(db, "PRAGMA application_id = 1330796112; PRAGMA user_version = 1", error);
}

bool WriteVersion(sqlite3* db, int64_t id, const PublishedVersion& record, const std::vector<BuildFile>& previous,
                  std::string& error) {
    Statement close = Prepare(db, "UPDATE files SET until = ?1 WHERE until IS NULL AND pathId = "
                                  "(SELECT id FROM paths WHERE path = ?2)");
    Statement path = Prepare(db, "INSERT OR IGNORE INTO paths(path, key) VALUES (?1, ?2)");
    Statement file = Prepare(db, "INSERT INTO files(pathId, sha256, size, since) VALUES ("
                                 "(SELECT id FROM paths WHERE path = ?1), ?2, ?3, ?4)");
    Statement version = Prepare(db, "INSERT INTO versions(id, label, mandatory, publishedAt, serial, key, rollbackOf,"
                                    " fileCount, bytes) VALUES (?1, ?2, ?3, ?4, ?5, ?6, NULLIF(?7, ''), ?8, ?9)");
    if (!close || !path || !file || !version) {
        error = DbError(db);
        return false;
    }
    std::vector<const BuildFile*> now = ByPath(record.files), before = ByPath(previous);
    std::string scratch;
    uint64_t bytes = 0;
    // Both in the order of paths: a row is closed where the path changed or left, and made where it
    // changed or came.
    for (size_t i = 0, j = 0; i < now.size() || j < before.size();) {
        bool left = i == now.size() || (j < before.size() && before[j]->path < now[i]->path);
        bool came = !left && (j == before.size() || now[i]->path < before[j]->path);
        if (!left && i > 0 && now[i - 1]->path == now[i]->path) {
            error = "version " + record.version + " lists " + now[i]->path + " twice";
            return false;
        }
        const BuildFile* f = left ? before[j] : now[i];
        bool same = !left && !came && before[j]->sha256 == f->sha256 && before[j]->size == f->size;
        if (!came && !same) {
            Bind(close.get(), 1, id);
            Bind(close.get(), 2, f->path);
            if (!Run(db, close.get(), error)) {
                return false;
            }
        }
        j += came ? 0 : 1;
        if (left) {
            continue;
        }
        ++i;
        bytes += f->size;
        if (same) {
            continue;
        }
        Bind(path.get(), 1, f->path);
        Bind(path.get(), 2, KeyOf(*f, scratch));
        Bind(file.get(), 1, f->path);
        BindDigest(file.get(), 2, f->sha256);
        Bind(file.get(), 3, static_cast<int64_t>(f->size));
        Bind(file.get(), 4, id);
        if (!Run(db, path.get(), error) || !Run(db, file.get(), error)) {
            return false;
        }
    }
    Bind(version.get(), 1, id);
    Bind(version.get(), 2, record.version);
    Bind(version.get(), 3, static_cast<int64_t>(record.mandatory));
    Bind(version.get(), 4, record.publishedAt);
    Bind(version.get(), 5, static_cast<int64_t>(record.serial));
    Bind(version.get(), 6, record.key);
    Bind(version.get(), 7, record.rollbackOf);
    Bind(version.get(), 8, static_cast<int64_t>(record.files.size()));
    Bind(version.get(), 9, static_cast<int64_t>(bytes));
    return Run(db, version.get(), error);
}

int64_t LastId(sqlite3* db) {
    Statement s = Prepare(db, "SELECT COALESCE(MAX(id), 0) FROM versions");
    bool done = false;
    return s && NextRow(s.get(), done) ? sqlite3_column_int64(s.get(), 0) : 0;
}

int64_t VersionId(sqlite3* db, const std::string& label) {
    Statement s = Prepare(db, "SELECT COALESCE(MAX(id), 0) FROM versions WHERE label = ?1");
    Bind(s.get(), 1, label);
    bool done = false;
    return s && NextRow(s.get(), done) ? sqlite3_column_int64(s.get(), 0) : 0;
}

bool FilesOf(sqlite3* db, int64_t id, std::vector<BuildFile>& files, std::string& error, std::vector<FileStat>* read) {
    // The last version's rows are the open ones, found through their index; another's are most of the
    // table, read through once.
    Statement last = Prepare(db, "SELECT MAX(id) = ?1 FROM versions");
    Bind(last.get(), 1, id);
    bool done = false, isLast = last && NextRow(last.get(), done) && sqlite3_column_int(last.get(), 0) == 1;
    // (The open rows through the paths in their order: no sort of the whole list.)
    Statement s = Prepare(db, isLast ? "SELECT p.path, f.sha256, f.size, b.sha256, b.size, b.inode, b.device, b.modifiedNs,"
                                       " b.changedNs FROM paths p CROSS JOIN files f ON f.pathId = p.id LEFT JOIN buildFiles b"
                                       " ON b.pathId = p.id WHERE f.until IS NULL ORDER BY p.path"
                                     : "SELECT p.path, f.sha256, f.size FROM files f JOIN paths p ON p.id = f.pathId "
                                       "WHERE +f.since <= ?1 AND (f.until IS NULL OR f.until > ?1) ORDER BY p.path");
    Bind(s.get(), 1, id);
    files.clear();
    if (read) {
        read->clear();
    }
    while (s && NextRow(s.get(), done)) {
        files.push_back(BuildFile{Text(s.get(), 0), Digest(s.get(), 1), static_cast<uint64_t>(sqlite3_column_int64(s.get(), 2))});
        if (read) {
            auto number = [&](int column) { return sqlite3_column_int64(s.get(), column); };
            read->push_back(!isLast ? FileStat{} : FileStat{Digest(s.get(), 3), static_cast<uint64_t>(number(4)),
                                                            static_cast<uint64_t>(number(5)), static_cast<uint64_t>(number(6)),
                                                            number(7), number(8)});
        }
    }
    if (!done) {
        error = DbError(db);
    }
    return done;
}
