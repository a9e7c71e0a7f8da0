// The manifest as the publisher writes it, and its read-back with the launcher's own scanner: a
// hundred thousand entries are written and compared without a copy of each.
#include <algorithm>
#include <charconv>

#include "publisher/NativeTextEncoding.h"
#include "publisher/Publisher.h"
#include "publisher/Store.h"
#include "support/ManifestLimit.h"
#include "support/TextEncoding.h"
#include "update/Manifest.h"

namespace fs = std::filesystem;

namespace {

constexpr char kBlobUrl[] = "/updates/blobs/";

// Whether the launcher's wide text from `skip` on is the UTF-8 text, as WideToUtf8 would write it:
// compared a character at a time, without a copy of either.
bool Same(const std::wstring& wide, const std::string& utf8, size_t skip = 0) {
    size_t at = 0;
    for (size_t i = skip; i < wide.size(); ++i) {
        char32_t code = static_cast<char32_t>(wide[i]);
        if (code < 0x80 && (at >= utf8.size() || utf8[at] != static_cast<char>(code))) {
            return false;
        }
        if (code < 0x80) {
            ++at;
            continue;
        }
        std::string one;  // short enough to need no memory of its own
        AppendUtf8(one, code);
        if (utf8.compare(at, one.size(), one) != 0) {
            return false;
        }
        at += one.size();
    }
    return at == utf8.size();
}

}  // namespace

std::string BlobUrl(const std::string& sha256) {
    return kBlobUrl + sha256;
}

fs::path BlobPath(const fs::path& servedRoot, const std::string& sha256) {
    return servedRoot / "updates" / "blobs" / sha256;
}

std::string ManifestText(const std::string& version, bool mandatory, const std::vector<BuildFile>& files,
                         const std::vector<std::string>& deletedFiles) {
    size_t size = 128 + version.size();
    for (const BuildFile& f : files) {
        size += 64 + 2 * f.sha256.size() + f.path.size() + 20;
    }
    for (const std::string& d : deletedFiles) {
        size += d.size() + 4;
    }
    // version first, files before deletedFiles; in an entry the path comes last, so no name can stand
    // before the key the scanner looks for.
    std::string text;
    text.reserve(size);
    text.append("{\n  \"version\": \"").append(version).append("\",\n  \"mandatory\": ");
    text.append(mandatory ? "true" : "false").append(",\n  \"files\": [");
    char number[24];
    for (size_t i = 0; i < files.size(); ++i) {
        text.append(i ? ",\n    {\"sha256\": \"" : "\n    {\"sha256\": \"").append(files[i].sha256);
        text.append("\", \"size\": ").append(number, std::to_chars(number, number + sizeof number, files[i].size).ptr);
        text.append(", \"url\": \"").append(kBlobUrl).append(files[i].sha256);
        text.append("\", \"path\": \"").append(files[i].path).append("\"}");
    }
    text.append(files.empty() ? "],\n  \"deletedFiles\": [" : "\n  ],\n  \"deletedFiles\": [");
    for (size_t i = 0; i < deletedFiles.size(); ++i) {
        text.append(i ? ", \"" : "\"").append(deletedFiles[i]).append("\"");
    }
    return text.append("]\n}\n");
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
    if (!Same(read.version, version) || read.mandatory != mandatory) {
        return "the launcher would read another version or mandatory flag";
    }
    if (read.files.size() != files.size() || read.deletedFiles.size() != deletedFiles.size()) {
        return "the launcher would read another number of files";
    }
    const std::string prefix = kBlobUrl;
    for (size_t i = 0; i < files.size(); ++i) {
        const ManifestFile& f = read.files[i];
        bool url = f.url.size() > prefix.size() && std::equal(prefix.begin(), prefix.end(), f.url.begin()) &&
                   Same(f.url, files[i].sha256, prefix.size());
        if (!url || !Same(f.path, files[i].path) || !Same(f.sha256, files[i].sha256) || f.size != files[i].size) {
            return files[i].path + ": the launcher would read this entry differently";
        }
    }
    for (size_t i = 0; i < deletedFiles.size(); ++i) {
        if (!Same(read.deletedFiles[i], deletedFiles[i])) {
            return deletedFiles[i] + ": the launcher would read this obsolete path differently";
        }
    }
    return std::string();
}
