#include <openssl/evp.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cwctype>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "publisher/Publisher.h"
#include "support/TextEncoding.h"
#include "update/Manifest.h"

namespace fs = std::filesystem;

namespace {

bool IsReservedWindowsName(std::string element) {
    size_t dot = element.find('.');
    std::string stem = element.substr(0, dot);
    std::transform(stem.begin(), stem.end(), stem.begin(), [](unsigned char c) { return std::toupper(c); });
    static const std::set<std::string> kReserved = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4",
                                                    "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3",
                                                    "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
    return kReserved.count(stem) > 0;
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
        if (IsReservedWindowsName(element)) {
            return "a device name Windows reserves (" + element + ")";
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
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

std::string Sha256Hex(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::string();
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::vector<char> buffer(4 << 20);
    uint64_t done = 0;
    std::error_code sizeError;
    uint64_t total = fs::file_size(file, sizeError);
    int lastReported = -1;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        std::streamsize got = in.gcount();
        if (got <= 0) {
            break;
        }
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(got));
        done += static_cast<uint64_t>(got);
        // Multi-GB paks take a while; say how far along we are, not once per block.
        if (total > (256u << 20)) {
            int percent = static_cast<int>(done * 100 / total);
            if (percent / 10 != lastReported / 10) {
                std::fprintf(stderr, "  hashing %s: %d%%\n", file.filename().string().c_str(), percent);
                lastReported = percent;
            }
        }
    }
    if (in.bad()) {
        return std::string();
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 15]);
    }
    return hex;
}

bool CollectBuild(const fs::path& buildFolder, std::vector<BuildFile>& files, std::string& error) {
    std::error_code walkError;
    if (!fs::is_directory(buildFolder, walkError)) {
        error = "build folder not found: " + buildFolder.string();
        return false;
    }
    std::vector<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(buildFolder, walkError); !walkError && it != fs::end(it);
         it.increment(walkError)) {
        std::string relative = fs::relative(it->path(), buildFolder).generic_string();
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
        std::string problem = PathProblem(relative);
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
        BuildFile file;
        file.path = path;
        file.size = fs::file_size(buildFolder / path);
        file.sha256 = Sha256Hex(buildFolder / path);
        if (file.sha256.empty()) {
            error = path + ": cannot be read";
            return false;
        }
        files.push_back(file);
    }
    return true;
}

std::string BlobUrl(const std::string& sha256) {
    return "/updates/blobs/" + sha256;
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
