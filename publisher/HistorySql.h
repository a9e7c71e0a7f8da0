#pragma once
// Statements over the history database, shared by the files that read and write it.
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "publisher/Publisher.h"

using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

// What the database said of its last failure, naming its file (a damaged one as such).
std::string DbError(sqlite3* db);
// Runs SQL without results; false with DbError.
bool Exec(sqlite3* db, const char* sql, std::string& error);
// Prepares one statement and binds its parameters (?1, ?2, ...) to texts and whole numbers.
Statement Prepare(sqlite3* db, const char* sql);
void Bind(sqlite3_stmt* statement, int index, const std::string& text);
void Bind(sqlite3_stmt* statement, int index, int64_t number);
// One more row: true while there is one; done is set at the end (false then means an error).
bool NextRow(sqlite3_stmt* statement, bool& done);
std::string Text(sqlite3_stmt* statement, int column);
// Digests are kept as their 32 bytes and read back as lower-case hex.
void BindDigest(sqlite3_stmt* statement, int index, const std::string& hex);
std::string Digest(sqlite3_stmt* statement, int column);
// Makes the tables in an empty database.
bool MakeSchema(sqlite3* db, std::string& error);
// Records one version with its files as changes against `previous` (the last version's files), in
// the caller's transaction; id is the version's place, from 1.
bool WriteVersion(sqlite3* db, int64_t id, const PublishedVersion& record, const std::vector<BuildFile>& previous,
                  std::string& error);
// The id of the last version recorded; 0 when there is none.
int64_t LastId(sqlite3* db);
// The id of the last version with the label; 0 when there is none.
int64_t VersionId(sqlite3* db, const std::string& label);
// The files of the version with that id, sorted by path; with `read`, for the last version, what the
// build was at each path when the last publish read it (inode 0 where that is not recorded).
bool FilesOf(sqlite3* db, int64_t id, std::vector<BuildFile>& files, std::string& error,
             std::vector<FileStat>* read = nullptr);
// Reads publish-history.json's text into an empty database; false with why it is damaged.
bool ImportJson(sqlite3* db, const std::string& text, std::string& problem);
// Empty when the launcher would take a recorded path in deletedFiles; else what it does with it ("refuses").
std::string RecordedPathProblem(const std::string& path);
// The recorded version a served manifest's text names, with its files (an empty label when the text
// does not scan or names none), and in problem what the launcher would read differently from it;
// false when the history cannot answer.
bool ServedVersion(sqlite3* db, const std::string& text, PublishedVersion& served, std::string& problem,
                   std::string& error);
