#pragma once
// Serving a version once a publish or rollback has its files: shared by the two commands.
#include <openssl/evp.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "publisher/Signing.h"

// The time now in UTC, as the history records it (ISO 8601, which sorts as text).
std::string NowUtc();
// Paths and sizes alike, and digests too unless a build not yet read is compared.
bool SameFiles(const std::vector<BuildFile>& a, const std::vector<BuildFile>& b, bool digests = true);
// Why a label recorded with other files (or another mandatory flag) cannot be published with these.
std::string AlreadyPublished(const PublishedVersion& recorded, const PublishedVersion& record);
// The place of the last version with that label; -1 when there is none.
long RecordedIndex(const std::vector<PublishedVersion>& versions, const std::string& version);
// Records the version and serves it, signed with key when there is one; a label already recorded
// with the same files only completes serving it, with other files it is refused. A plan prints what
// would change instead of writing. A version recorded anew gets its serial, key and time in `record`.
bool ServeVersion(const std::filesystem::path& root, sqlite3* db, const std::vector<PublishedVersion>& versions,
                  const PublishedVersion& last, PublishedVersion& record, bool plan, const PlayerLink& link, EVP_PKEY* key,
                  std::string& error);
