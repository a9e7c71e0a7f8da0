// The served tree on its way to players: only what the site serves is ever sent (the manifests and
// stored files named by their digest), in the order that keeps every state of the destination whole.
#include "publisher/Push.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "publisher/Destination.h"
#include "publisher/ProgressLine.h"
#include "publisher/Store.h"
#include "support/TextEncoding.h"
#include "update/Manifest.h"
#include "update/ManifestSignature.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kNamesShown = 20;
// full.json before latest.json, as publish writes them: a new player never gets a version that an
// installed one could not.
const char* const kManifests[] = {"full.json", "latest.json"};
const std::string kBlobUrl = "/updates/blobs/";

struct Tree {
    std::string manifests[2];  // the bytes of full.json and latest.json
    Sizes named;               // the stored files they name
};

bool IsDigest(const std::string& name) {
    return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The stored files a manifest names; false when a url is not one of ours (push sends nothing else).
bool NamedFiles(const std::string& text, Sizes& named, std::string& problem) {
    UpdateManifest manifest;
    if (!ParseManifest(text, manifest)) {
        problem = "cannot be read as a manifest";
        return false;
    }
    for (const ManifestFile& f : manifest.files) {
        std::string url = WideToUtf8(f.url);
        if (url.rfind(kBlobUrl, 0) != 0 || !IsDigest(url.substr(kBlobUrl.size()))) {
            problem = "names the url " + url + ", which is not a stored file of this publisher";
            return false;
        }
        named[url.substr(kBlobUrl.size())] = f.size;
    }
    return true;
}

bool ReadTree(const fs::path& root, Tree& tree, std::string& error) {
    for (size_t i = 0; i < 2; ++i) {
        fs::path file = root / "updates" / kManifests[i];
        std::string problem;
        if (!ReadWhole(file, tree.manifests[i]) || !NamedFiles(tree.manifests[i], tree.named, problem)) {
            error = file.string() + (problem.empty() ? " cannot be read: publish into " + root.string() + " first"
                                                     : " " + problem + "; nothing was sent");
            return false;
        }
    }
    for (const auto& [digest, size] : tree.named) {
        std::error_code sizeError;
        if (fs::file_size(BlobPath(root, digest), sizeError) != size || sizeError) {
            error = BlobPath(root, digest).string() + " is missing or of the wrong size; nothing was sent (see: "
                    "orvane-publish verify --served " + root.string() + ")";
            return false;
        }
    }
    return true;
}

// Stored files the destination lists that nothing kept names, and none that its manifests name now.
bool Unkept(const fs::path& root, const PushOptions& options, const Tree& tree, const Sizes& listed,
            std::vector<std::string>& unkept, std::string& error) {
    std::set<std::string> kept;
    if (!KeptStoredFiles(root, kept, error)) {
        return false;
    }
    Sizes live = tree.named;
    for (const auto& [digest, size] : listed) {
        if (IsDigest(digest) && !kept.count(digest) && !live.count(digest)) {
            unkept.push_back(digest);
        }
    }
    for (size_t i = 0; i < 2 && !unkept.empty(); ++i) {
        std::string text, problem;
        if (!ReadRemote(options, kManifests[i], text, error)) {
            return false;
        }
        if (!text.empty() && !NamedFiles(text, live, problem)) {
            error = Below(options, std::string("updates/") + kManifests[i]) + " " + problem + "; nothing was deleted";
            return false;
        }
    }
    std::vector<std::string> left;
    for (const std::string& digest : unkept) {
        if (!live.count(digest)) {
            left.push_back(digest);
        }
    }
    unkept = left;
    return true;
}

// A step that stopped, with what players are offered now: the team must not take a push that has
// begun to replace the manifests for one that changed nothing.
bool Stopped(bool manifestsTouched, std::string& error) {
    error += manifestsTouched ? "; the manifests there may have changed already, so run the same command again once "
                                "that is mended, to complete the push"
                              : "; what players are offered has not changed, so run the same command again once that is mended";
    return false;
}

// Empty unless the destination serves a manifest signed with a higher serial than this tree's (or
// signed where this tree's is not): every launcher that accepted it would refuse what this push sends,
// and --delete would take the stored files it names. A restored backup or a stale folder does that.
std::string OlderProblem(const PushOptions& options, const Tree& tree, const std::string there[2]) {
    for (size_t i = 0; i < 2; ++i) {
        uint64_t live = 0, ours = 0;
        std::string signature;
        if (!FindManifestSeal(there[i], live, signature)) {
            continue;
        }
        bool signedHere = FindManifestSeal(tree.manifests[i], ours, signature);
        if (!signedHere || ours < live) {
            return Below(options, std::string("updates/") + kManifests[i]) + " is signed with serial " +
                   std::to_string(live) + (signedHere ? ", above this folder's " + std::to_string(ours) : ", this folder's is not signed") +
                   ": every launcher that accepted it would refuse this one. Push from the folder that published it (this "
                   "one may be an old backup: see \"Signed manifests\" in the shipping guide); its manifests were left as they are";
        }
    }
    return std::string();
}

bool PushTree(const fs::path& root, const PushOptions& options, std::string& error) {
    Tree tree;
    Sizes listed;
    if (!ReadTree(root, tree, error)) {
        return false;
    }
    if (!ListStored(options, listed, error)) {
        return Stopped(false, error);
    }
    std::vector<std::string> missing, manifests, unkept;
    uint64_t bytes = 0;
    for (const auto& [digest, size] : tree.named) {
        auto found = listed.find(digest);
        if (found == listed.end() || found->second != size) {
            missing.push_back(digest);
            bytes += size;
        }
    }
    std::string plan = options.dryRun ? "plan for pushing to " + options.to + " (nothing sent):\n  stored files to send: " +
                                            Count(missing.size(), "file") + ", " + Amount(static_cast<double>(bytes)) +
                                            (missing.empty() ? "" : ": " + NamesText(missing, kNamesShown)) + "\n"
                                      : std::string();
    if (!options.dryRun && !missing.empty() && !(SendStored(root, options, missing, bytes, error) &&
                                                 ListStored(options, listed, error))) {
        return Stopped(false, error);
    }
    for (const std::string& digest : options.dryRun ? std::vector<std::string>() : missing) {
        auto found = listed.find(digest);
        if (found == listed.end() || found->second != tree.named[digest]) {
            error = "after sending, " + options.to + " does not list the stored file " + digest + " with " +
                    std::to_string(tree.named[digest]) + " bytes; the manifests were not sent: run the same command again";
            return false;
        }
    }
    std::string there[2];
    for (size_t i = 0; i < 2; ++i) {
        if (!ReadRemote(options, kManifests[i], there[i], error)) {
            return Stopped(false, error);
        }
    }
    if (!(error = OlderProblem(options, tree, there)).empty()) {
        return false;
    }
    for (size_t i = 0; i < 2; ++i) {
        if (there[i] != tree.manifests[i]) {
            manifests.push_back(kManifests[i]);
            if (!options.dryRun && !SendManifest(root, options, kManifests[i], error)) {
                return Stopped(true, error);
            }
        }
    }
    bool sent = !options.dryRun && !manifests.empty();
    if (options.removeUnkept && !Unkept(root, options, tree, listed, unkept, error)) {
        return Stopped(sent, error);
    }
    if (options.dryRun) {
        std::printf("%s  manifests to send: %s\n  stored files to delete: %s%s\n", plan.c_str(),
                    manifests.empty() ? "none (the same bytes are there)" : NamesText(manifests, kNamesShown).c_str(),
                    options.removeUnkept ? Count(unkept.size(), "file").c_str() : "none (no --delete)",
                    unkept.empty() ? "" : (": " + NamesText(unkept, kNamesShown)).c_str());
        return true;
    }
    if (!unkept.empty() && !RemoveStored(options, unkept, error)) {
        return Stopped(sent, error);
    }
    if (missing.empty() && manifests.empty() && unkept.empty()) {
        std::fprintf(stderr, "%s serves this tree already; nothing sent\n", options.to.c_str());
    } else {
        std::fprintf(stderr, "pushed to %s: %s (%s), %s%s\n", options.to.c_str(), Count(missing.size(), "stored file").c_str(),
                     Amount(static_cast<double>(bytes)).c_str(),
                     manifests.empty() ? "the manifests unchanged" : NamesText(manifests, kNamesShown).c_str(),
                     options.removeUnkept ? (", deleted " + Count(unkept.size(), "stored file")).c_str() : "");
    }
    return true;
}

}  // namespace

bool KeptStoredFiles(const fs::path& servedRoot, std::set<std::string>& digests, std::string& error) {
    // prune leaves in blobs/ exactly what the kept versions and the manifests name.
    fs::path blobs = servedRoot / "updates" / "blobs";
    std::error_code walkError;
    for (const auto& entry : fs::directory_iterator(blobs, walkError)) {
        if (IsDigest(entry.path().filename().string())) {
            digests.insert(entry.path().filename().string());
        }
    }
    if (walkError) {
        error = "cannot read " + blobs.string() + ": " + walkError.message();
    }
    return !walkError;
}

bool Push(const fs::path& servedRoot, const PushOptions& options, std::string& error) {
    if (!fs::is_directory(servedRoot)) {
        error = "no served folder " + servedRoot.string() + "; publish into it first";
        return false;
    }
    // What rclone creates in a local folder (or a server that keeps the mode) is for the web server to read.
    ::umask(022);
    int lock = -1;
    bool ok = (options.dryRun || LockServed(servedRoot, options.lockSeconds, lock, error)) &&
              PushTree(servedRoot, options, error);
    UnlockServed(lock);
    return ok;
}
