#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <system_error>

#include "publisher/Publisher.h"

namespace fs = std::filesystem;
using nlohmann::json;

// The served tree: updates/latest.json, updates/full.json and updates/blobs/<sha256> are served;
// publish-history.json beside updates/ is not. It records every published version's files, which
// deletedFiles needs because a player may skip versions.

namespace {

fs::path HistoryPath(const fs::path& root) {
    return root / "publish-history.json";
}

// Written beside the target and renamed over it, so readers see the old file or the new one whole.
bool WriteWhole(const fs::path& target, const std::string& bytes, std::string& error) {
    fs::path temporary = target;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            error = "cannot write " + temporary.string();
            return false;
        }
    }
    std::error_code renameError;
    fs::rename(temporary, target, renameError);
    if (renameError) {
        error = "cannot rename " + temporary.string() + ": " + renameError.message();
        return false;
    }
    return true;
}

bool ReadText(const fs::path& file, std::string& text) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    text = bytes.str();
    return static_cast<bool>(in);
}

json ReadHistory(const fs::path& root) {
    std::string text;
    if (!ReadText(HistoryPath(root), text) || text.empty()) {
        return json::array();
    }
    return json::parse(text);
}

std::vector<BuildFile> FilesOf(const json& version) {
    std::vector<BuildFile> files;
    for (const json& f : version.at("files")) {
        files.push_back(BuildFile{f.at("path"), f.at("sha256"), f.at("size")});
    }
    return files;
}

// Paths any earlier version had that the current one lacks, never one Windows would take for a
// current path: the launcher removes them after installing, so it would delete a file it just put there.
std::vector<std::string> ObsoletePaths(const json& history, const std::vector<BuildFile>& current) {
    std::set<std::string> currentKeys;
    for (const BuildFile& f : current) {
        currentKeys.insert(WindowsNameKey(f.path));
    }
    std::map<std::string, std::string> obsolete;
    for (const json& version : history) {
        for (const BuildFile& f : FilesOf(version)) {
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

bool StoreBlob(const fs::path& root, const fs::path& source, const BuildFile& file, std::string& error) {
    fs::path blob = root / "updates" / "blobs" / file.sha256;
    std::error_code sizeError;
    if (fs::file_size(blob, sizeError) == file.size && !sizeError) {
        return true;  // stored by an earlier version: immutable, nothing to do
    }
    fs::path temporary = blob;
    temporary += ".tmp";
    std::error_code copyError;
    fs::copy_file(source, temporary, fs::copy_options::overwrite_existing, copyError);
    if (!copyError) {
        fs::rename(temporary, blob, copyError);
    }
    if (copyError) {
        error = file.path + ": cannot store: " + copyError.message();
        return false;
    }
    // The build may have changed while we copied; a stored file must match its name.
    if (Sha256Hex(blob) != file.sha256) {
        fs::remove(blob, copyError);
        error = file.path + ": changed while it was being published";
        return false;
    }
    return true;
}

}  // namespace

bool Publish(const fs::path& buildFolder, const fs::path& servedRoot, const std::string& version, bool mandatory,
             std::string& error) {
    std::string problem = VersionProblem(version);
    if (!problem.empty()) {
        error = problem;
        return false;
    }
    std::vector<BuildFile> files;
    if (!CollectBuild(buildFolder, files, error)) {
        return false;
    }
    json history = ReadHistory(servedRoot);
    std::vector<std::string> deleted = ObsoletePaths(history, files);
    std::string manifest = ManifestText(version, mandatory, files, deleted);
    problem = ReadBackProblem(manifest, version, mandatory, files, deleted);
    if (!problem.empty()) {
        error = problem;
        return false;
    }

    std::error_code folderError;
    fs::create_directories(servedRoot / "updates" / "blobs", folderError);
    if (folderError) {
        error = "cannot create " + (servedRoot / "updates" / "blobs").string() + ": " + folderError.message();
        return false;
    }
    for (const BuildFile& file : files) {
        if (!StoreBlob(servedRoot, buildFolder / file.path, file, error)) {
            return false;
        }
    }
    json record = {{"version", version}, {"mandatory", mandatory}, {"files", json::array()}};
    for (const BuildFile& f : files) {
        record["files"].push_back({{"path", f.path}, {"sha256", f.sha256}, {"size", f.size}});
    }
    history.push_back(record);
    // History before manifests: a crash in between leaves a recorded version no player saw, which
    // costs nothing; the other order could forget files that later versions must delete.
    if (!WriteWhole(HistoryPath(servedRoot), history.dump(1) + "\n", error) ||
        !WriteWhole(servedRoot / "updates" / "full.json", manifest, error) ||
        !WriteWhole(servedRoot / "updates" / "latest.json", manifest, error)) {
        return false;
    }
    std::fprintf(stderr, "published %s: %zu files, %zu obsolete paths\n", version.c_str(), files.size(),
                 deleted.size());
    return true;
}

bool Verify(const fs::path& servedRoot, std::vector<std::string>& problems) {
    json history = ReadHistory(servedRoot);
    if (history.empty()) {
        problems.push_back("nothing has been published here");
        return false;
    }
    const json& last = history.back();
    std::vector<BuildFile> files = FilesOf(last);
    json earlier(history.begin(), history.end() - 1);
    std::vector<std::string> deleted = ObsoletePaths(earlier, files);
    for (const char* name : {"latest.json", "full.json"}) {
        std::string text;
        if (!ReadText(servedRoot / "updates" / name, text)) {
            problems.push_back(std::string(name) + ": missing");
            continue;
        }
        std::string problem = ReadBackProblem(text, last.at("version"), last.at("mandatory"), files, deleted);
        if (!problem.empty()) {
            problems.push_back(std::string(name) + ": " + problem);
        }
    }
    for (const BuildFile& f : files) {
        fs::path blob = servedRoot / BlobUrl(f.sha256).substr(1);
        std::error_code sizeError;
        if (fs::file_size(blob, sizeError) != f.size || sizeError) {
            problems.push_back(f.path + ": stored file missing or of the wrong size");
        } else if (Sha256Hex(blob) != f.sha256) {
            problems.push_back(f.path + ": stored file does not match its SHA-256");
        }
    }
    return problems.empty();
}

bool Prune(const fs::path& servedRoot, size_t keep, std::vector<std::string>& removed, std::string& error) {
    json history = ReadHistory(servedRoot);
    if (history.empty()) {
        error = "nothing has been published here";
        return false;
    }
    std::set<std::string> referenced;
    size_t first = history.size() > keep ? history.size() - keep : 0;
    // The manifests name the last version, which is always kept.
    for (size_t i = std::min(first, history.size() - 1); i < history.size(); ++i) {
        for (const BuildFile& f : FilesOf(history[i])) {
            referenced.insert(f.sha256);
        }
    }
    std::error_code walkError;
    for (const auto& entry : fs::directory_iterator(servedRoot / "updates" / "blobs", walkError)) {
        std::string name = entry.path().filename().string();
        if (!referenced.count(name)) {
            std::error_code removeError;
            if (fs::remove(entry.path(), removeError)) {
                removed.push_back(name);
            }
        }
    }
    if (walkError) {
        error = walkError.message();
        return false;
    }
    return true;
}
