// The history as text: publish-history.json (the form before the database, and the export that
// teams' scripts and backups read) in and out, and the table `history` prints.
#include <nlohmann/json.hpp>

#include "publisher/History.h"
#include "publisher/HistorySql.h"
#include "support/TextEncoding.h"
#include "update/PathSafety.h"

using nlohmann::json;

namespace {

bool IsDigest(const json& value) {
    return value.is_string() && value.get<std::string>().size() == 64 &&
           value.get<std::string>().find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Everything we later rely on is checked here, so a damaged record is named instead of thrown.
bool RecordFromJson(const json& entry, PublishedVersion& record) {
    if (!entry.is_object() || !entry.contains("version") || !entry["version"].is_string() ||
        !entry.contains("mandatory") || !entry["mandatory"].is_boolean() || !entry.contains("files") ||
        !entry["files"].is_array() || (entry.contains("publishedAt") && !entry["publishedAt"].is_string()) ||
        (entry.contains("serial") && !entry["serial"].is_number_unsigned()) ||
        (entry.contains("key") && !entry["key"].is_string()) ||
        (entry.contains("rollbackOf") && !entry["rollbackOf"].is_string())) {
        return false;
    }
    record.serial = entry.value("serial", uint64_t{0});
    record.key = entry.value("key", std::string());
    record.rollbackOf = entry.value("rollbackOf", std::string());
    record.version = entry["version"];
    record.mandatory = entry["mandatory"];
    record.publishedAt = entry.value("publishedAt", std::string());
    for (const json& f : entry["files"]) {
        if (!f.is_object() || !f.contains("path") || !f["path"].is_string() || !f.contains("sha256") ||
            !IsDigest(f["sha256"]) || !f.contains("size") || !f["size"].is_number_unsigned()) {
            return false;
        }
        record.files.push_back(BuildFile{f["path"], f["sha256"], f["size"]});
    }
    return true;
}

json RecordJson(const PublishedVersion& v) {
    json record = {{"version", v.version}, {"mandatory", v.mandatory}, {"files", json::array()}};
    if (!v.publishedAt.empty()) {
        record["publishedAt"] = v.publishedAt;
    }
    if (v.serial != 0) {
        record["serial"] = v.serial;
        record["key"] = v.key;
    }
    if (!v.rollbackOf.empty()) {
        record["rollbackOf"] = v.rollbackOf;
    }
    for (const BuildFile& f : v.files) {
        record["files"].push_back({{"path", f.path}, {"sha256", f.sha256}, {"size", f.size}});
    }
    return record;
}

std::string HistoryTable(const std::vector<PublishedVersion>& history) {
    std::string table;
    for (const PublishedVersion& v : history) {
        char line[128];
        std::snprintf(line, sizeof line, "  %-9s %6llu files %14llu bytes  %-20s  ", v.mandatory ? "mandatory" : "optional",
                      static_cast<unsigned long long>(v.fileCount), static_cast<unsigned long long>(v.bytes),
                      v.publishedAt.empty() ? "(time not recorded)" : v.publishedAt.c_str());
        // The serial is what a launcher's floor is set from: the last rollback's or security fix's.
        table += (v.version.size() < 12 ? v.version + std::string(12 - v.version.size(), ' ') : v.version) + line +
                 (v.serial ? "serial " + std::to_string(v.serial) : std::string("unsigned")) +
                 (v.rollbackOf.empty() ? "" : "  rollback to " + v.rollbackOf) + "\n";
    }
    return table;
}

}  // namespace

std::string RecordedPathProblem(const std::string& path) {
    // The launcher's rule, and its own program, which it cannot delete while it runs. (Names a build
    // may no longer hold, but which harm nothing when deleted, stay readable.)
    if (!IsSafeRelativePath(Utf8ToWide(path))) {
        return "refuses";
    }
    bool launcher = path.find('/') == std::string::npos && WindowsNameKey(path) == WindowsNameKey(kLauncherExe);
    if (launcher) {
        return "fails to delete";
    }
    // Listed as obsolete, one of the launcher's own files (its serial record, say) would stop every update.
    return IsLauncherOwnPath(Utf8ToWide(path)) ? "refuses to touch: it is one of the launcher's own files" : std::string();
}

// Every recorded path may come back in a later deletedFiles, so one no launcher could take damages it.
bool ImportJson(sqlite3* db, const std::string& text, std::string& problem) {
    json parsed = json::parse(text, nullptr, false);
    if (!parsed.is_array()) {
        problem = "not the history this publisher writes";
        return false;
    }
    PublishedVersion previous;
    for (size_t i = 0; i < parsed.size(); ++i) {
        PublishedVersion record;
        if (!RecordFromJson(parsed[i], record)) {
            problem = "not the history this publisher writes";
            return false;
        }
        for (const BuildFile& f : record.files) {
            std::string unsafe = RecordedPathProblem(f.path);
            if (!unsafe.empty()) {
                problem = "version " + record.version + " holds the path '" + f.path + "', which every player's launcher " +
                          unsafe;
                return false;
            }
        }
        if (!WriteVersion(db, static_cast<int64_t>(i) + 1, record, previous.files, problem)) {
            return false;
        }
        previous = std::move(record);
    }
    return true;
}

// One version's files at a time, so that the export of a long history needs no more memory than one.
bool PrintHistory(sqlite3* db, bool asJson, std::FILE* out, std::string& error) {
    std::vector<PublishedVersion> versions;
    if (!HistoryVersions(db, versions, error)) {
        return false;
    }
    if (!asJson) {
        std::fputs(versions.empty() ? "nothing has been published here\n" : HistoryTable(versions).c_str(), out);
        return true;
    }
    std::fputs("[", out);
    for (size_t i = 0; i < versions.size(); ++i) {
        PublishedVersion v = versions[i];
        if (!FilesOf(db, static_cast<int64_t>(i) + 1, v.files, error)) {
            return false;
        }
        std::fprintf(out, "%s\n%s", i ? "," : "", RecordJson(v).dump(1).c_str());
    }
    std::fputs("\n]\n", out);
    return std::fflush(out) == 0;
}
