#pragma once
// What a publish or rollback would change, printed instead of written (--dry-run).
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "publisher/Estimate.h"
#include "publisher/Publisher.h"

// Prints the files new, changed, unchanged and obsolete against the last version, what would be
// stored, and what a player on each of the last few versions downloads, with the wait on `link`;
// then the paths: every obsolete one, the first new and changed ones.
bool PrintPlan(const std::filesystem::path& root, sqlite3* db, const std::vector<PublishedVersion>& versions,
               const PublishedVersion& last, const PublishedVersion& record, const PlayerLink& link,
               const std::vector<std::string>& obsolete, std::string& error);
