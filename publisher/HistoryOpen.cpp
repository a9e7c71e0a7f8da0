// ROOT/publish-history.db: made whole under another name and renamed into place, so that a run cut
// off leaves no database or a whole one; a publish-history.json from before it is migrated once.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "publisher/History.h"
#include "publisher/HistorySql.h"
#include "publisher/Store.h"
#include "update/ManifestSignature.h"

namespace fs = std::filesystem;

namespace {

constexpr char kDatabase[] = "publish-history.db";
constexpr char kJson[] = "publish-history.json";
constexpr int kApplicationId = 1330796112;  // "ORVP"
constexpr int kSchemaVersion = 1;
constexpr int kBusyMs = 10000;

HistoryDb Open(const std::string& name, int flags) {
    sqlite3* made = nullptr;
    sqlite3_open_v2(name.c_str(), &made, flags, nullptr);  // a handle even on failure, to tell why
    if (made) {
        sqlite3_busy_timeout(made, kBusyMs);
        sqlite3_exec(made, "PRAGMA temp_store = MEMORY", nullptr, nullptr, nullptr);  // the queries' lists of names
    }
    return HistoryDb(made, &sqlite3_close_v2);
}

// Tables of another program, or of a later publisher, are no history of ours.
bool CheckSchema(sqlite3* db, std::string& error) {
    Statement id = Prepare(db, "PRAGMA application_id"), version = Prepare(db, "PRAGMA user_version");
    bool done = false;
    if (!id || !version || !NextRow(id.get(), done) || !NextRow(version.get(), done)) {
        error = DbError(db);
        return false;
    }
    if (sqlite3_column_int(id.get(), 0) != kApplicationId || sqlite3_column_int(version.get(), 0) != kSchemaVersion) {
        error = std::string(sqlite3_db_filename(db, "main")) +
                " is damaged (not the history this publisher writes); restore it from a backup. Nothing was changed";
        return false;
    }
    return true;
}

// The JSON history (when given) read into a database in memory; the tables alone without one.
bool InMemory(const fs::path* json, HistoryDb& db, std::string& error) {
    db = Open(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    std::string text, problem;
    if (!db || !Exec(db.get(), "BEGIN", error) || !MakeSchema(db.get(), error)) {
        return false;
    }
    if (json && !ReadWhole(*json, text)) {
        error = "cannot read " + json->string() + "; nothing was changed";
        return false;
    }
    if (json && !ImportJson(db.get(), text, problem)) {
        error = json->string() + " is damaged (" + problem + "); restore it from a backup. Nothing was changed";
        return false;
    }
    return Exec(db.get(), "COMMIT", error);
}

// A migrated history must serve what is served now as it was meant: each served manifest that names
// a recorded version reads back as that version, with its serial.
bool AgreesWithServed(sqlite3* db, const fs::path& root, std::string& error) {
    for (const char* name : {"latest.json", "full.json"}) {
        std::string text, problem, signature;
        PublishedVersion served;
        uint64_t serial = 0;
        if (!ReadWhole(root / "updates" / name, text)) {
            continue;  // nothing served yet, or a publish cut off before its manifests
        }
        if (!ServedVersion(db, text, served, problem, error)) {
            return false;
        }
        if (problem.empty() && served.serial != 0 && (!FindManifestSeal(text, serial, signature) || serial != served.serial)) {
            problem = "the history records serial " + std::to_string(served.serial) + " for " + served.version;
        }
        if (!served.version.empty() && !problem.empty()) {
            error = (root / kJson).string() + " does not agree with the served updates/" + name + " (" + problem +
                    "); nothing was changed. Restore the history from a backup, or run verify with the publisher that wrote it";
            return false;
        }
    }
    return true;
}

void RemoveDatabase(const fs::path& file) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::error_code ignored;
        fs::remove(fs::path(file.string() + suffix), ignored);
    }
}

// Writes the database in memory to ROOT/publish-history.db: whole under another name, on disk, then renamed.
bool Persist(sqlite3* memory, const fs::path& root, std::string& error) {
    fs::path file = root / kDatabase, made = root / (std::string(kDatabase) + ".new");
    RemoveDatabase(made);
    Statement copy = Prepare(memory, "VACUUM INTO ?1");
    Bind(copy.get(), 1, made.string());
    bool done = false;
    NextRow(copy.get(), done);
    HistoryDb written = Open(made.string(), SQLITE_OPEN_READWRITE);
    bool ok = done && written && Exec(written.get(), "PRAGMA journal_mode = WAL", error);
    if (!done) {
        error = "cannot write " + made.string() + ": " + sqlite3_errmsg(memory);
    }
    if (ok && sqlite3_close(written.release()) != SQLITE_OK) {
        error = "cannot write " + made.string();
        ok = false;
    }
    ok = ok && SyncFile(made, error);
    if (ok && ::rename(made.c_str(), file.c_str()) != 0) {
        error = "cannot rename " + made.string() + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok) {
        written.reset();
        RemoveDatabase(made);
    }
    return ok && SyncFolder(root, error);
}

// The JSON stays beside the database under another name: the record of what was migrated.
bool SetJsonAside(const fs::path& root, std::string& error) {
    fs::path json = root / kJson, aside = root / (std::string(kJson) + ".migrated");
    std::error_code e;
    if (!fs::exists(json, e) || fs::exists(aside, e)) {
        return true;
    }
    if (::rename(json.c_str(), aside.c_str()) != 0) {
        error = "cannot rename " + json.string() + ": " + std::strerror(errno);
        return false;
    }
    return SyncFolder(root, error);
}

}  // namespace

bool OpenHistory(const fs::path& servedRoot, bool forWriting, HistoryDb& db, std::string& error) {
    db.reset();
    fs::path file = servedRoot / kDatabase, json = servedRoot / kJson;
    std::error_code e;
    // Not found is also what a path through a file gives: say so rather than "nothing published".
    if (fs::exists(servedRoot, e) && !fs::is_directory(servedRoot, e)) {
        error = servedRoot.string() + " is not a folder";
        return false;
    }
    bool haveDb = fs::exists(file, e), haveJson = !haveDb && !e && fs::exists(json, e);
    if (e) {
        error = "cannot read " + file.string() + ": " + e.message() + "; nothing was changed";
        return false;
    }
    if (!haveDb && (!InMemory(haveJson ? &json : nullptr, db, error) || !forWriting)) {
        return db && error.empty() && Exec(db.get(), "BEGIN", error);
    }
    std::vector<PublishedVersion> versions;
    if (!haveDb && (!AgreesWithServed(db.get(), servedRoot, error) || !HistoryVersions(db.get(), versions, error) ||
                    !Persist(db.get(), servedRoot, error))) {
        return false;
    }
    if (haveJson) {
        std::fprintf(stderr, "migrated %s into %s (%zu versions)\n", json.c_str(), file.c_str(), versions.size());
    }
    // Writers make every commit durable before a manifest names it; readers see one state throughout.
    db = Open(file.string(), SQLITE_OPEN_READWRITE);
    return db && CheckSchema(db.get(), error) &&
           Exec(db.get(), forWriting ? "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL" : "BEGIN", error) &&
           (!forWriting || SetJsonAside(servedRoot, error));
}
