// A copy of the served tree without its history, as an origin or a bucket holds it: what players
// would be sent is still checked, from the manifests alone.
#include <cstdio>
#include <set>

#include "publisher/ProgressLine.h"
#include "publisher/Publisher.h"
#include "publisher/Signing.h"
#include "publisher/Store.h"
#include "support/TextEncoding.h"
#include "update/Manifest.h"

namespace fs = std::filesystem;

bool VerifyWithoutHistory(const fs::path& servedRoot, std::vector<std::string>& problems, const std::string& publicKeyFile) {
    SigningKey key(nullptr, &EVP_PKEY_free);
    std::string error;
    if (!publicKeyFile.empty() && !(key = LoadPublicKey(publicKeyFile, error))) {
        problems.push_back(error);
        return false;
    }
    const std::string kBlobUrl = "/updates/blobs/";
    std::vector<BuildFile> blobs, named;  // each stored file once: as read, and with the path that names it
    std::set<std::string> seen;
    UpdateManifest read[2];
    const char* names[] = {"latest.json", "full.json"};
    for (size_t i = 0; i < 2; ++i) {
        std::string text;
        if (!ReadWhole(servedRoot / "updates" / names[i], text) || !ParseManifest(text, read[i])) {
            problems.push_back(std::string(names[i]) + ": missing, or not a manifest the launcher can read");
            continue;
        }
        uint64_t serial = 0;
        std::string seal = key ? SealProblem(key.get(), text, serial) : std::string();
        if (!seal.empty()) {
            problems.push_back(std::string(names[i]) + ": " + seal + "; players' launchers refuse it");
        }
        for (const ManifestFile& f : read[i].files) {
            std::string url = WideToUtf8(f.url), digest = url.substr(std::min(url.size(), kBlobUrl.size()));
            if (url.rfind(kBlobUrl, 0) != 0 || digest != WideToUtf8(f.sha256)) {
                problems.push_back(WideToUtf8(f.path) + ": the url " + url + " is not where this publisher stores it");
            } else if (seen.insert(digest).second) {
                blobs.push_back(BuildFile{digest, std::string(), f.size});
                named.push_back(BuildFile{WideToUtf8(f.path), digest, f.size});
            }
        }
    }
    if (problems.empty() && read[0].version != read[1].version) {
        problems.push_back("latest.json names " + WideToUtf8(read[0].version) + ", full.json " +
                           WideToUtf8(read[1].version) + ": installed and new players get different versions");
    }
    std::vector<std::string> unreadable;
    std::vector<FileStat> none;
    HashBuild(servedRoot / "updates" / "blobs", blobs, fs::path(), none, error, &unreadable);
    for (size_t i = 0; i < blobs.size(); ++i) {
        if (blobs[i].sha256 != named[i].sha256) {
            problems.push_back(named[i].path + ": stored file " + named[i].sha256 + " is missing, unreadable or does "
                               "not match its SHA-256");
        }
    }
    std::fprintf(stderr, "no history in %s (a copy, as an origin holds): checked both manifests and the %s they name\n",
                 servedRoot.c_str(), Count(blobs.size(), "stored file").c_str());
    return problems.empty();
}
