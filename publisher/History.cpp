// publish-history.json beside updates/ (not served) records every published version's files, which
// deletedFiles needs because a player may skip versions, and which prune and rollback work from.
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "publisher/Publisher.h"
#include "publisher/Signing.h"
#include "publisher/Store.h"
#include "support/TextEncoding.h"
#include "update/Manifest.h"
#include "update/ManifestSignature.h"
#include "update/PathSafety.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

fs::path HistoryPath(const fs::path& root) {
    return root / "publish-history.json";
}

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
        (entry.contains("key") && !entry["key"].is_string())) {
        return false;
    }
    record.serial = entry.contains("serial") ? entry["serial"].get<uint64_t>() : 0;
    record.key = entry.contains("key") ? entry["key"].get<std::string>() : std::string();
    record.version = entry["version"];
    record.mandatory = entry["mandatory"];
    record.publishedAt = entry.contains("publishedAt") ? entry["publishedAt"].get<std::string>() : std::string();
    for (const json& f : entry["files"]) {
        if (!f.is_object() || !f.contains("path") || !f["path"].is_string() || !f.contains("sha256") ||
            !IsDigest(f["sha256"]) || !f.contains("size") || !f["size"].is_number_unsigned()) {
            return false;
        }
        record.files.push_back(BuildFile{f["path"], f["sha256"], f["size"]});
    }
    return true;
}

// The recorded version a served manifest names, or -1 when it is missing or names none.
long ServedIndex(const fs::path& manifest, const std::vector<PublishedVersion>& history, std::string& text) {
    UpdateManifest read;
    if (!ReadWhole(manifest, text) || !ParseManifest(text, read)) {
        return -1;
    }
    for (size_t i = history.size(); i-- > 0;) {
        if (history[i].version == WideToUtf8(read.version)) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// The first path of the history that no player's launcher could take (every recorded path may come
// back in a later deletedFiles), as "version V holds P: reason"; empty when there is none.
std::string UnsafeRecordedPath(const std::vector<PublishedVersion>& history) {
    for (const PublishedVersion& v : history) {
        for (const BuildFile& f : v.files) {
            // The launcher's rule, and its own program, which it cannot delete while it runs. (Names a
            // build may no longer hold, but which harm nothing when deleted, stay readable.)
            bool launcher = f.path.find('/') == std::string::npos && WindowsNameKey(f.path) == WindowsNameKey(kLauncherExe);
            if (!IsSafeRelativePath(Utf8ToWide(f.path)) || launcher) {
                return "version " + v.version + " holds the path '" + f.path + "', which every player's launcher " +
                       (launcher ? "fails to delete" : "refuses");
            }
        }
    }
    return std::string();
}

}  // namespace

bool ReadHistory(const fs::path& servedRoot, std::vector<PublishedVersion>& history, std::string& error) {
    history.clear();
    fs::path file = HistoryPath(servedRoot);
    std::error_code existsError;
    // Not found is also what a path through a file gives: say so rather than "nothing published".
    if (fs::exists(servedRoot, existsError) && !fs::is_directory(servedRoot, existsError)) {
        error = servedRoot.string() + " is not a folder";
        return false;
    }
    if (!fs::exists(file, existsError) && !existsError) {
        return true;
    }
    std::string text;
    if (existsError || !ReadWhole(file, text)) {
        error = "cannot read " + file.string() + "; nothing was changed";
        return false;
    }
    json parsed = json::parse(text, nullptr, false);
    bool ok = parsed.is_array();
    for (size_t i = 0; ok && i < parsed.size(); ++i) {
        history.emplace_back();
        ok = RecordFromJson(parsed[i], history.back());
    }
    std::string unsafe = ok ? UnsafeRecordedPath(history) : std::string();
    if (!ok || !unsafe.empty()) {
        history.clear();
        error = file.string() + " is damaged (" + (ok ? unsafe : "not the history this publisher writes") +
                "); restore it from a backup. Nothing was changed";
        return false;
    }
    return true;
}

bool WriteHistory(const fs::path& servedRoot, const std::vector<PublishedVersion>& history, std::string& error) {
    json all = json::array();
    for (const PublishedVersion& v : history) {
        json record = {{"version", v.version}, {"mandatory", v.mandatory}, {"files", json::array()}};
        if (!v.publishedAt.empty()) {
            record["publishedAt"] = v.publishedAt;
        }
        if (v.serial != 0) {
            record["serial"] = v.serial;
            record["key"] = v.key;
        }
        for (const BuildFile& f : v.files) {
            record["files"].push_back({{"path", f.path}, {"sha256", f.sha256}, {"size", f.size}});
        }
        all.push_back(record);
    }
    return WriteWhole(HistoryPath(servedRoot), all.dump(1) + "\n", error);
}

// Deleting a path Windows takes for a current one would remove a file the launcher just installed.
std::vector<std::string> ObsoletePaths(const std::vector<PublishedVersion>& earlier,
                                       const std::vector<BuildFile>& current) {
    std::set<std::string> currentKeys;
    for (const BuildFile& f : current) {
        currentKeys.insert(WindowsNameKey(f.path));
    }
    std::map<std::string, std::string> obsolete;
    for (const PublishedVersion& version : earlier) {
        for (const BuildFile& f : version.files) {
            std::string key = WindowsNameKey(f.path);
            if (!currentKeys.count(key)) {
                obsolete.emplace(key, f.path);
            }
        }
    }
    std::vector<std::string> paths;
    for (const auto& entry : obsolete) {
        paths.push_back(entry.second);
    }
    return paths;
}

std::string ShapeConflict(const std::vector<PublishedVersion>& history, const std::vector<BuildFile>& files) {
    // Each name as Windows compares it, with the latest version that had a file, or a folder, under it.
    std::map<std::string, std::pair<std::string, std::string>> wasFile, wasFolder;  // key -> version, path
    for (const PublishedVersion& v : history) {
        for (const BuildFile& f : v.files) {
            wasFile[WindowsNameKey(f.path)] = {v.version, f.path};
            for (size_t slash = f.path.find('/'); slash != std::string::npos; slash = f.path.find('/', slash + 1)) {
                wasFolder[WindowsNameKey(f.path.substr(0, slash))] = {v.version, f.path};
            }
        }
    }
    // The launcher installs before it removes, so a player on that version would be stuck at this path.
    const std::string advice = "; players on it could never install this version. Rename one of the two";
    for (const BuildFile& f : files) {
        auto folder = wasFolder.find(WindowsNameKey(f.path));
        if (folder != wasFolder.end()) {
            return f.path + " is a file, but version " + folder->second.first + " has a folder of that name (holding " +
                   folder->second.second + ")" + advice;
        }
        for (size_t slash = f.path.find('/'); slash != std::string::npos; slash = f.path.find('/', slash + 1)) {
            auto file = wasFile.find(WindowsNameKey(f.path.substr(0, slash)));
            if (file != wasFile.end()) {
                return f.path + " needs a folder " + f.path.substr(0, slash) + ", but version " + file->second.first +
                       " has a file " + file->second.second + advice;
            }
        }
    }
    return std::string();
}

std::string HistoryTable(const std::vector<PublishedVersion>& history) {
    std::string table;
    for (const PublishedVersion& v : history) {
        uint64_t bytes = 0;
        for (const BuildFile& f : v.files) {
            bytes += f.size;
        }
        char line[128];
        std::snprintf(line, sizeof line, "  %-9s %6zu files %14llu bytes  %s\n", v.mandatory ? "mandatory" : "optional",
                      v.files.size(), static_cast<unsigned long long>(bytes),
                      v.publishedAt.empty() ? "(time not recorded)" : v.publishedAt.c_str());
        table += (v.version.size() < 12 ? v.version + std::string(12 - v.version.size(), ' ') : v.version) + line;
    }
    return table;
}

// Each manifest is checked against the version it names: a publish cut off between writing the
// history and the manifests leaves them serving the earlier version, whole.
bool Verify(const fs::path& servedRoot, std::vector<std::string>& problems, const std::string& publicKeyFile) {
    std::vector<PublishedVersion> history;
    std::string error;
    SigningKey key(nullptr, &EVP_PKEY_free);
    if (!publicKeyFile.empty() && !(key = LoadPublicKey(publicKeyFile, error))) {
        problems.push_back(error);
        return false;
    }
    bool read = ReadHistory(servedRoot, history, error);
    if (read && history.empty() && fs::exists(servedRoot / "updates" / "latest.json")) {
        return VerifyWithoutHistory(servedRoot, problems, publicKeyFile);
    }
    if (!read || history.empty()) {
        problems.push_back(error.empty() ? "nothing has been published here" : error);
        return false;
    }
    std::set<long> checked;
    for (const char* name : {"latest.json", "full.json"}) {
        std::string text;
        long index = ServedIndex(servedRoot / "updates" / name, history, text);
        if (index < 0) {
            problems.push_back(std::string(name) + ": missing, unreadable or naming no recorded version");
            continue;
        }
        const PublishedVersion& served = history[static_cast<size_t>(index)];
        std::vector<PublishedVersion> earlier(history.begin(), history.begin() + index);
        std::string problem = ReadBackProblem(text, served.version, served.mandatory, served.files,
                                              ObsoletePaths(earlier, served.files));
        if (!problem.empty()) {
            problems.push_back(std::string(name) + ": " + problem);
        }
        // A signed version must be served signed, with its own serial: a replayed older manifest names
        // a recorded version too.
        uint64_t serial = 0;
        std::string seal, signature;
        if (key) {
            seal = SealProblem(key.get(), text, serial);
        } else if (served.serial != 0 && !FindManifestSeal(text, serial, signature)) {
            seal = "not signed";
        }
        if (seal.empty() && served.serial != 0 && serial != served.serial) {
            seal = "serial " + std::to_string(serial) + ", but the history records " + std::to_string(served.serial) +
                   " for " + served.version;
        } else if (seal.empty() && served.serial != 0 && serial < HighestSerial(history)) {
            seal = "serial " + std::to_string(serial) + ", below " + std::to_string(HighestSerial(history)) +
                   " of a version recorded after it (if a publish was cut off, run it again)";
        }
        if (!seal.empty()) {
            problems.push_back(std::string(name) + ": " + seal + "; players' launchers refuse it");
        }
        if (!checked.insert(index).second) {
            continue;
        }
        // Stored files are read as builds are, on every core, each under its own name.
        std::vector<BuildFile> blobs, paths;
        for (const BuildFile& f : served.files) {
            std::error_code sizeError;
            if (fs::file_size(BlobPath(servedRoot, f.sha256), sizeError) != f.size || sizeError) {
                problems.push_back(f.path + ": stored file missing or of the wrong size");
            } else {
                blobs.push_back(BuildFile{f.sha256, std::string(), f.size});
                paths.push_back(f);
            }
        }
        // One unreadable stored file is named as such; the others are still checked.
        std::vector<std::string> unreadable;
        HashBuild(servedRoot / "updates" / "blobs", blobs, fs::path(), {}, error, &unreadable);
        for (size_t i = 0; i < blobs.size(); ++i) {
            if (blobs[i].sha256.empty()) {
                problems.push_back(paths[i].path + ": stored file " + BlobPath(servedRoot, paths[i].sha256).string() +
                                   " cannot be read");
            } else if (blobs[i].sha256 != paths[i].sha256) {
                problems.push_back(paths[i].path + ": stored file does not match its SHA-256");
            }
        }
    }
    return problems.empty();
}

bool Prune(const fs::path& servedRoot, size_t keep, double lockSeconds, std::vector<std::string>& removed,
           std::string& error) {
    if (!fs::is_directory(servedRoot)) {
        error = "no served folder " + servedRoot.string() + "; nothing has been published there";
        return false;
    }
    int lock = -1;
    std::vector<PublishedVersion> history;
    if (!LockServed(servedRoot, lockSeconds, lock, error) || !ReadHistory(servedRoot, history, error)) {
        UnlockServed(lock);
        return false;
    }
    if (history.empty()) {
        UnlockServed(lock);
        error = "nothing has been published here";
        return false;
    }
    std::set<std::string> referenced;
    std::set<size_t> kept;
    for (size_t i = history.size() > keep ? history.size() - keep : 0; i < history.size(); ++i) {
        kept.insert(i);
    }
    // What the manifests serve stays, even when a cut-off publish recorded a newer version after it.
    for (const char* name : {"latest.json", "full.json"}) {
        std::string text;
        long index = ServedIndex(servedRoot / "updates" / name, history, text);
        kept.insert(index < 0 ? history.size() - 1 : static_cast<size_t>(index));
    }
    for (size_t i : kept) {
        for (const BuildFile& f : history[i].files) {
            referenced.insert(f.sha256);
        }
    }
    fs::path blobs = servedRoot / "updates" / "blobs";
    std::error_code walkError;
    for (const auto& entry : fs::directory_iterator(blobs, walkError)) {
        std::string name = entry.path().filename().string();
        std::error_code removeError;
        if (!referenced.count(name) && fs::remove(entry.path(), removeError)) {
            removed.push_back(name);
        }
    }
    if (walkError) {
        error = "cannot read " + blobs.string() + ": " + walkError.message();
    }
    bool ok = !walkError && SyncFolder(blobs, error);
    UnlockServed(lock);
    return ok;
}
