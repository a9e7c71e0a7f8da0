#include <algorithm>
#include <clocale>
#include <cstring>
#include <cwctype>
#include <unordered_map>

#include "publisher/BuildWalk.h"
#include "publisher/NativeTextEncoding.h"
#include "publisher/Publisher.h"
#include "publisher/Store.h"
#include "support/TextEncoding.h"
#include "update/Manifest.h"
#include "update/PathSafety.h"

namespace fs = std::filesystem;

namespace {

// UTF-16 units of valid UTF-8: one for each code point, two above U+FFFF (a four-byte sequence).
size_t Utf16Units(const std::string& utf8) {
    size_t units = 0;
    for (unsigned char c : utf8) {
        units += (c & 0xC0) != 0x80 ? 1 : 0;
        units += c >= 0xF0 ? 1 : 0;
    }
    return units;
}

// Only three letters can begin a device name: anything else needs no wide copy to be ruled out.
bool MayBeDeviceName(const std::string& path, size_t start, size_t end) {
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    return end - start >= 3 && letter(path[start]) && letter(path[start + 1]) && letter(path[start + 2]);
}

}  // namespace

std::string WindowsNameKey(const std::string& path) {
    static bool localeSet = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
    (void)localeSet;
    std::string key;
    key.reserve(path.size());
    char32_t code = 0;
    for (size_t i = 0; i < path.size();) {
        char c = path[i];
        if (static_cast<unsigned char>(c) < 0x80) {  // towupper's answer for ASCII, without the call
            key.push_back(c == '\\' ? '/' : c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
            ++i;
        } else if (NextCodePoint(path, i, code)) {
            AppendUtf8(key, static_cast<char32_t>(std::towupper(static_cast<wint_t>(code))));
        } else {
            return std::string();  // as the wide conversion gives for bytes that are not UTF-8
        }
    }
    return key;
}

const std::string& KeyOf(const BuildFile& file, std::string& scratch) {
    return file.key.empty() ? (scratch = WindowsNameKey(file.path)) : file.key;
}

std::string PathProblem(const std::string& path) {
    if (path.empty()) {
        return "empty path";
    }
    std::wstring wide = Utf8ToWide(path);
    if (wide.empty()) {
        return "not valid UTF-8";
    }
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7F) {
            return "control character in the name";
        }
        // The launcher's scanner takes values raw: a quote or backslash would be cut or doubled, and
        // ']' or '}' would end the file list or the entry early.
        if (std::strchr("\"\\]}:<>|?*", c) != nullptr) {
            return std::string("character '") + static_cast<char>(c) + "' cannot stand in a name on Windows or in the manifest";
        }
    }
    if (path.front() == '/') {
        return "absolute path";
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = std::min(path.find('/', start), path.size());
        size_t length = end - start;
        if (length == 0 || (length == 1 && path[start] == '.') || (length == 2 && path.compare(start, 2, "..") == 0)) {
            return "empty, '.' or '..' path element";
        }
        if (path[end - 1] == '.' || path[end - 1] == ' ') {
            return "a name ending in a dot or a blank, which Windows drops";
        }
        std::string element = MayBeDeviceName(path, start, end) ? path.substr(start, length) : std::string();
        if (!element.empty() && IsReservedDeviceName(Utf8ToWide(element))) {
            return "a device name Windows reserves (" + element + ")";
        }
        start = end + 1;
    }
    // Whatever the checks above let through, the launcher's own rule has the last word.
    return IsSafeRelativePath(wide) ? std::string() : "a path the launcher refuses";
}

std::string PublishedPathProblem(const std::string& path) {
    std::string problem = PathProblem(path);
    if (!problem.empty()) {
        return problem;
    }
    static const std::string launcherKey = WindowsNameKey(kLauncherExe);
    std::string key = WindowsNameKey(path);
    std::string first = path.substr(0, path.find('/'));
    bool folder = first.size() != path.size();
    // A running program cannot be replaced or deleted on Windows: every update would fail at this file forever.
    if (!folder && key == launcherKey) {
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
                  std::string& error, std::vector<FileStat>* seen) {
    std::error_code walkError;
    if (!fs::is_directory(buildFolder, walkError)) {
        error = "build folder not found: " + buildFolder.string();
        return false;
    }
    std::vector<std::vector<WalkedFile>> runs;
    if (!WalkBuild(buildFolder, runs, error)) {
        return false;
    }
    std::vector<WalkedFile> found;
    for (auto& run : runs) {
        size_t middle = found.size();
        std::move(run.begin(), run.end(), std::back_inserter(found));
        std::inplace_merge(found.begin(), found.begin() + static_cast<ptrdiff_t>(middle), found.end(),
                           [](const WalkedFile& a, const WalkedFile& b) { return a.path < b.path; });
    }
    // Names that are one to Windows have one key; the keys' hashes rule out the rest at once.
    std::vector<size_t> hashes;
    hashes.reserve(found.size());
    for (const WalkedFile& f : found) {
        hashes.push_back(f.keyHash);
    }
    std::sort(hashes.begin(), hashes.end());
    std::unordered_map<std::string, size_t> keys;
    bool clash = std::adjacent_find(hashes.begin(), hashes.end()) != hashes.end();
    for (size_t i = 0; clash && i < found.size(); ++i) {
        auto inserted = keys.emplace(found[i].key, i);
        if (!inserted.second) {
            error = found[i].path + " and " + found[inserted.first->second].path +
                    ": one name to Windows, which ignores letter case";
            return false;
        }
    }
    files.reserve(found.size());
    if (seen) {
        seen->reserve(found.size());
    }
    for (WalkedFile& f : found) {
        const std::string& path = f.path;
        size_t units = Utf16Units(path) + 9;  // ".download"
        if (units > kPathLimitUnits) {
            error = path + ": " + std::to_string(units) + " UTF-16 units with \".download\", more than " +
                    std::to_string(kPathLimitUnits) + "; with the install folder in front Windows' limit of 260 is passed";
            return false;
        }
        if (units > kPathWarnUnits) {
            warnings.push_back(path + ": " + std::to_string(units) +
                               " UTF-16 units with \".download\"; a deep install folder may pass Windows' limit of 260");
        }
        files.push_back(BuildFile{std::move(f.path), std::string(), f.seen.size, std::move(f.key)});
        if (seen) {
            seen->push_back(std::move(f.seen));
        }
    }
    return true;
}
