// The build as the last publish read it: a file whose size, inode and times still stand as then is
// not read again, so a publish of a small change costs what changed and the tree's metadata.
#include "publisher/History.h"
#include "publisher/HistorySql.h"

namespace {

FileStat StatRow(sqlite3_stmt* row) {
    return FileStat{Digest(row, 1), static_cast<uint64_t>(sqlite3_column_int64(row, 2)),
                    static_cast<uint64_t>(sqlite3_column_int64(row, 3)), static_cast<uint64_t>(sqlite3_column_int64(row, 4)),
                    sqlite3_column_int64(row, 5), sqlite3_column_int64(row, 6)};
}

bool Same(const FileStat& a, const FileStat& b) {
    return a.sha256 == b.sha256 && a.size == b.size && a.inode == b.inode && a.device == b.device &&
           a.modifiedNs == b.modifiedNs && a.changedNs == b.changedNs;
}

}  // namespace

bool ReadBuildFiles(sqlite3* db, const std::vector<BuildFile>& files, std::vector<FileStat>& known, std::string& error) {
    known.assign(files.size(), FileStat{});
    // Both in the order of paths (the paths' own index gives it without a sort), read side by side.
    Statement s = Prepare(db, "SELECT p.path, b.sha256, b.size, b.inode, b.device, b.modifiedNs, b.changedNs FROM paths p "
                              "CROSS JOIN buildFiles b ON b.pathId = p.id ORDER BY p.path");
    bool done = false;
    size_t i = 0;
    std::string path;
    while (s && NextRow(s.get(), done)) {
        path = Text(s.get(), 0);
        for (; i < files.size() && files[i].path < path; ++i) {
        }
        if (i < files.size() && files[i].path == path && static_cast<uint64_t>(sqlite3_column_int64(s.get(), 2)) == files[i].size) {
            known[i] = StatRow(s.get());
        }
    }
    if (!done) {
        error = DbError(db);
    }
    return done;
}

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
    for (size_t i = 0; ok && i < files.size(); ++i) {
        const FileStat& f = read[i];
        bool settled = f.inode != 0 && f.sha256 == files[i].sha256 && f.modifiedNs < settledNs && f.changedNs < settledNs;
        bool done = false;
        if (!Same(f, known[i]) && (settled || known[i].inode != 0)) {
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
    if (!ok || !Exec(db, "DELETE FROM buildFiles WHERE pathId NOT IN (SELECT pathId FROM files WHERE until IS NULL); COMMIT",
                     error)) {
        error = error.empty() ? DbError(db) : error;
        std::string ignored;
        Exec(db, "ROLLBACK", ignored);
        return false;
    }
    return true;
}
