#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cwctype>
#include <fstream>
#include <map>
#include <set>

#include "publisher/Publisher.h"
#include "publisher/Store.h"
#include "support/ManifestLimit.h"
#include "support/TextEncoding.h"
#include "update/Manifest.h"
#include "update/PathSafety.h"

namespace fs = std::filesystem;

namespace {

size_t Utf16Units(const std::string& utf8) {
    size_t units = 0;
    for (wchar_t c : Utf8ToWide(utf8)) {
        units += static_cast<uint32_t>(c) > 0xFFFF ? 2 : 1;
    }
    return units;
}

}  // namespace

std::string WindowsNameKey(const std::string& path) {
    static bool localeSet = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    (void)localeSet;
    std::wstring wide = Utf8ToWide(path);
    for (wchar_t& c : wide) {
        c = c == L'\\' ? L'/' : static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    }
    return WideToUtf8(wide);
}

std::string PathProblem(const std::string& path) {
    if (path.empty()) {
        return "empty path";
    }
    if (Utf8ToWide(path).empty()) {
        return "not valid UTF-8";
    }
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7F) {
            return "control character in the name";
        }
        // The launcher's scanner takes values raw: a quote or backslash would be cut or doubled, and
        // ']' or '}' would end the file list or the entry early.
        if (std::string("\"\\]}:<>|?*").find(static_cast<char>(c)) != std::string::npos) {
            return std::string("character '") + static_cast<char>(c) + "' cannot stand in a name on Windows or in the manifest";
        }
    }
    if (path.front() == '/') {
        return "absolute path";
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        std::string element = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (element.empty() || element == "." || element == "..") {
            return "empty, '.' or '..' path element";
        }
        if (element.back() == '.' || element.back() == ' ') {
            return "a name ending in a dot or a blank, which Windows drops";
        }
        if (IsReservedDeviceName(Utf8ToWide(element))) {
            return "a device name Windows reserves (" + element + ")";
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    // Whatever the checks above let through, the launcher's own rule has the last word.
    return IsSafeRelativePath(Utf8ToWide(path)) ? std::string() : "a path the launcher refuses";
}

std::string PublishedPathProblem(const std::string& path) {
    std::string problem = PathProblem(path);
    if (!problem.empty()) {
        return problem;
    }
    std::string key = WindowsNameKey(path);
    std::string first = path.substr(0, path.find('/'));
    bool folder = first.size() != path.size();
    // A running program cannot be replaced or deleted on Windows: every update would fail at this file forever.
    if (!folder && key == WindowsNameKey(kLauncherExe)) {
        return std::string("the launcher cannot replace or delete its own program while it runs; ") + kLauncherExe +
               " ships with the game's installer, not in the build";
    }
    // The launcher's own files beside the game, and the names it downloads into: a build shipping one
    // would overwrite its records, and a folder of that name would keep them from being written at all.
    if (IsLauncherOwnPath(Utf8ToWide(first))) {
        return "the launcher keeps its own " + first + " beside the game" +
               (folder ? "; a folder of that name would keep the launcher from writing it" : "");
    }
    if (key.size() > 9 && key.compare(key.size() - 9, 9, ".DOWNLOAD") == 0) {
        return "a name ending in .download, which the launcher gives the files it is downloading";
    }
    return std::string();
}

std::string VersionProblem(const std::string& version) {
    if (version.empty()) {
        return "the version is empty";
    }
    if (Utf8ToWide(version).empty()) {
        return "the version is not valid UTF-8";
    }
    for (unsigned char c : version) {
        if (c < 0x20 || c == 0x7F || c == '"' || c == '\\' || c == ']' || c == '}') {
            return "the version must be one line without quotes, backslashes, ']' or '}'";
        }
    }
    return std::string();
}

bool CollectBuild(const fs::path& buildFolder, std::vector<BuildFile>& files, std::vector<std::string>& warnings,
                  std::string& error) {
    std::error_code walkError;
    if (!fs::is_directory(buildFolder, walkError)) {
        error = "build folder not found: " + buildFolder.string();
        return false;
    }
    std::vector<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(buildFolder, walkError); !walkError && it != fs::end(it);
         it.increment(walkError)) {
        // Lexically, so that a link is named as it stands in the build, not by where it leads.
        std::string relative = it->path().lexically_relative(buildFolder).generic_string();
        if (it->is_symlink()) {
            error = relative + ": symbolic links are not published; copy the file into the build";
            return false;
        }
        if (it->is_directory()) {
            continue;
        }
        if (!it->is_regular_file()) {
            error = relative + ": not a regular file";
            return false;
        }
        std::string problem = PublishedPathProblem(relative);
        if (!problem.empty()) {
            error = relative + ": " + problem;
            return false;
        }
        paths.push_back(relative);
    }
    if (walkError) {
        error = "cannot read the build folder: " + walkError.message();
        return false;
    }
    std::sort(paths.begin(), paths.end());
    std::map<std::string, std::string> keys;
    for (const std::string& path : paths) {
        auto inserted = keys.emplace(WindowsNameKey(path), path);
        if (!inserted.second) {
            error = path + " and " + inserted.first->second + ": one name to Windows, which ignores letter case";
            return false;
        }
    }
    for (const std::string& path : paths) {
        size_t units = Utf16Units(path + ".download");
        if (units > kPathLimitUnits) {
            error = path + ": " + std::to_string(units) + " UTF-16 units with \".download\", more than " +
                    std::to_string(kPathLimitUnits) + "; with the install folder in front Windows' limit of 260 is passed";
            return false;
        }
        if (units > kPathWarnUnits) {
            warnings.push_back(path + ": " + std::to_string(units) +
                               " UTF-16 units with \".download\"; a deep install folder may pass Windows' limit of 260");
        }
        std::error_code sizeError;
        files.push_back(BuildFile{path, std::string(), fs::file_size(buildFolder / path, sizeError)});
        if (sizeError) {
            error = path + ": cannot be read: " + sizeError.message();
            return false;
        }
    }
    return true;
}

std::string BlobUrl(const std::string& sha256) {
    return "/updates/blobs/" + sha256;
}

fs::path BlobPath(const fs::path& servedRoot, const std::string& sha256) {
    return servedRoot / "updates" / "blobs" / sha256;
}

std::string ManifestText(const std::string& version, bool mandatory, const std::vector<BuildFile>& files,
                         const std::vector<std::string>& deletedFiles) {
    // version first, files before deletedFiles; in an entry the path comes last, so no name can stand
    // before the key the scanner looks for.
    std::string text = "{\n  \"version\": \"" + version + "\",\n  \"mandatory\": " + (mandatory ? "true" : "false") +
                       ",\n  \"files\": [";
    for (size_t i = 0; i < files.size(); ++i) {
        text += std::string(i ? "," : "") + "\n    {\"sha256\": \"" + files[i].sha256 +
                "\", \"size\": " + std::to_string(files[i].size) + ", \"url\": \"" + BlobUrl(files[i].sha256) +
                "\", \"path\": \"" + files[i].path + "\"}";
    }
    text += files.empty() ? "],\n  \"deletedFiles\": [" : "\n  ],\n  \"deletedFiles\": [";
    for (size_t i = 0; i < deletedFiles.size(); ++i) {
        text += std::string(i ? ", " : "") + "\"" + deletedFiles[i] + "\"";
    }
    return text + "]\n}\n";
}

std::string ReadBackProblem(const std::string& text, const std::string& version, bool mandatory,
                            const std::vector<BuildFile>& files, const std::vector<std::string>& deletedFiles) {
    // Players' launchers refuse it unread: no publish may lock them out.
    if (text.size() > kMaxManifestBytes) {
        return "the manifest is " + std::to_string(text.size()) + " bytes, more than the " +
               std::to_string(kMaxManifestBytes) + " the launcher reads; split the build or shorten its paths";
    }
    UpdateManifest read;
    if (!ParseManifest(text, read)) {
        return "the launcher would reject the manifest";
    }
    if (WideToUtf8(read.version) != version || read.mandatory != mandatory) {
        return "the launcher would read another version or mandatory flag";
    }
    if (read.files.size() != files.size() || read.deletedFiles.size() != deletedFiles.size()) {
        return "the launcher would read another number of files";
    }
    for (size_t i = 0; i < files.size(); ++i) {
        const ManifestFile& f = read.files[i];
        if (WideToUtf8(f.path) != files[i].path || WideToUtf8(f.url) != BlobUrl(files[i].sha256) ||
            WideToUtf8(f.sha256) != files[i].sha256 || f.size != files[i].size) {
            return files[i].path + ": the launcher would read this entry differently";
        }
    }
    for (size_t i = 0; i < deletedFiles.size(); ++i) {
        if (WideToUtf8(read.deletedFiles[i]) != deletedFiles[i]) {
            return deletedFiles[i] + ": the launcher would read this obsolete path differently";
        }
    }
    return std::string();
}
