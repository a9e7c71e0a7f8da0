#pragma once
// The publish history: ROOT/publish-history.db (SQLite, never served), one row per version and one per
// file from the version that introduced it to the version that changed or removed it, so that each
// command reads what it needs and the database grows with what changed.
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "publisher/Publisher.h"
#include "publisher/Store.h"

using HistoryDb = std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)>;

// Opens ROOT's history. forWriting (under the publish lock): the database, made or migrated from
// publish-history.json (checked against the served manifests, then kept as publish-history.json.migrated)
// when there is none; else whatever is there, a JSON history read into memory. Nothing published: an
// empty history. False naming the file and what is wrong when it is damaged.
bool OpenHistory(const std::filesystem::path& servedRoot, bool forWriting, HistoryDb& db, std::string& error);
// Every version without its files (fileCount and bytes filled in), oldest first.
bool HistoryVersions(sqlite3* db, std::vector<PublishedVersion>& versions, std::string& error);
// The last version recorded with that label, with its files sorted by path; false when there is none.
bool VersionFiles(sqlite3* db, const std::string& label, PublishedVersion& version, std::string& error);
// The last version with its files; an empty label when nothing was published. With `read`, what the
// build was at each of those paths when the last publish read it (inode 0 where that is not recorded).
bool LastVersion(sqlite3* db, PublishedVersion& last, std::string& error, std::vector<FileStat>* read = nullptr);
// The latest time of publishing recorded; empty when none was.
std::string NewestPublishedAt(const std::vector<PublishedVersion>& versions);
// Paths a version before `beforeLabel` (every recorded version when it is empty) had that `current`
// lacks, as Windows compares names and never one it would take for a current path, sorted by that
// key; false when the history holds one the launcher would refuse (it is then damaged).
bool ObsoletePaths(sqlite3* db, const std::string& beforeLabel, const std::vector<BuildFile>& current,
                   std::vector<std::string>& paths, std::string& error);
// Empty unless the files need a folder where a recorded version has a file of that name, or the
// reverse (as Windows compares names); else what to tell the team (and false with error when the
// database cannot answer).
bool ShapeConflict(sqlite3* db, const std::vector<BuildFile>& files, std::string& conflict, std::string& error);
// Adds the digests named by the versions with these labels (prune, push --delete).
bool NamedDigests(sqlite3* db, const std::vector<std::string>& labels, std::set<std::string>& digests,
                  std::string& error);
// The digest the path had at that size in the latest version that had both; empty when none did.
std::string KnownDigest(sqlite3* db, const std::string& path, uint64_t size);
// Records a new version (its files as changes against the last one, `last` when given and still
// the last recorded) in one transaction.
bool AppendVersion(sqlite3* db, const PublishedVersion& record, std::string& error,
                   const PublishedVersion* last = nullptr);
// The history table (or with json the whole history as publish-history.json held it) to `out`.
bool PrintHistory(sqlite3* db, bool json, std::FILE* out, std::string& error);
// Records what the files were when read (`read`, against `known` from the last version's), except those
// changed after `settledNs`: a change within the same tick of the clock would leave their times as they are.
bool RecordBuildFiles(sqlite3* db, const std::vector<BuildFile>& files, const std::vector<FileStat>& known,
                      const std::vector<FileStat>& read, int64_t settledNs, std::string& error);
