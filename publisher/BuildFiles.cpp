// The build as the last publish read it: a file whose size, inode and times still stand as then is
// not read again, so a publish of a small change costs what changed and the tree's metadata.
#include "publisher/History.h"
#include "publisher/HistorySql.h"

namespace {

bool Same(const FileStat& a, const FileStat& b) {
    return a.sha256 == b.sha256 && a.size == b.size && a.inode == b.inode && a.device == b.device &&
           a.modifiedNs == b.modifiedNs && a.changedNs == b.changedNs;
}

}  // namespace

bool RecordBuildFiles(sqlite3* db, const std::vector<BuildFile>& files, const std::vector<FileStat>& known,
                      const std::vector<FileStat>& read, int64_t settledNs, std::string& error) {
    if (!Exec(db, "BEGIN IMMEDIATE", error)) {
        return false;
    }
    // The build's files are the last version's by now: it was recorded (or was this build already).
    Statement put = Prepare(db, "INSERT OR REPLACE INTO buildFiles(pathId, sha256, size, inode, device, modifiedNs, changedNs)"
                                " SELECT id, ?2, ?3, ?4, ?5, ?6, ?7 FROM paths WHERE path = ?1");
    Statement drop = Prepare(db, "DELETE FROM buildFiles WHERE pathId = (SELECT id FROM paths WHERE path = ?1)");
    bool ok = put && drop;
    int64_t rows = 0;  // the build's files with a row by now
    for (size_t i = 0; ok && i < files.size(); ++i) {
        const FileStat& f = read[i];
        bool settled = f.inode != 0 && f.sha256 == files[i].sha256 && f.modifiedNs < settledNs && f.changedNs < settledNs;
        bool done = false, same = Same(f, known[i]);
        rows += same ? known[i].inode != 0 : settled;
        if (!same && (settled || known[i].inode != 0)) {
            sqlite3_stmt* change = settled ? put.get() : drop.get();
            Bind(change, 1, files[i].path);
            if (settled) {
                BindDigest(change, 2, f.sha256);
                Bind(change, 3, static_cast<int64_t>(f.size));
                Bind(change, 4, static_cast<int64_t>(f.inode));
                Bind(change, 5, static_cast<int64_t>(f.device));
                Bind(change, 6, f.modifiedNs);
                Bind(change, 7, f.changedNs);
            }
            ok = (NextRow(change, done), done);
            sqlite3_reset(change);
        }
    }
    // Rows of paths the build no longer has go; when the count shows none, the table is not searched.
    Statement count = Prepare(db, "SELECT COUNT(*) FROM buildFiles");
    bool done = false, stale = !count || !NextRow(count.get(), done) || sqlite3_column_int64(count.get(), 0) != rows;
    count.reset();
    if (!ok ||
        (stale && !Exec(db, "DELETE FROM buildFiles WHERE pathId NOT IN (SELECT pathId FROM files WHERE until IS NULL)", error)) ||
        !Exec(db, "COMMIT", error)) {
        error = error.empty() ? DbError(db) : error;
        std::string ignored;
        Exec(db, "ROLLBACK", ignored);
        return false;
    }
    return true;
}
