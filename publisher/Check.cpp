// What players' launchers ask, asked of the live host through whatever stands in front of it, and
// every answer held to what the launcher relies on.
#include "publisher/Check.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include "publisher/CheckAnswers.h"
#include "publisher/History.h"
#include "publisher/ProgressLine.h"
#include "publisher/Publisher.h"
#include "publisher/Signing.h"
#include "publisher/Store.h"
#include "support/TextEncoding.h"
#include "update/Manifest.h"
#include "update/ManifestSignature.h"

namespace {

constexpr size_t kParallel = 8;
constexpr long kLongestManifestSeconds = 60;
constexpr auto kPoll = std::chrono::seconds(1);
const char* const kManifests[] = {"/updates/latest.json", "/updates/full.json"};
// No file has this digest: what a front answers for a file the origin does not have (yet).
const std::string kMissingBlob = "/updates/blobs/" + std::string(64, '0');

constexpr size_t kPathsShown = 3;  // of the files that share a problem

std::vector<HttpProbe> ManifestProbes() {
    std::vector<HttpProbe> probes;
    for (const char* path : kManifests) {
        for (bool offer : {false, true}) {
            probes.push_back(Probe(path));
            probes.back().offerEncoding = offer;
            probes.back().keepBody = true;
        }
    }
    return probes;
}

std::string VersionOf(const std::string& text) {
    UpdateManifest read;
    return ParseManifest(text, read) ? WideToUtf8(read.version) : "an unreadable manifest";
}

// Whether the host already serves what it should: the local manifests byte for byte, or without a
// local folder two manifests that name one version.
bool Settled(const std::vector<HttpProbe>& m, const std::vector<std::string>& local) {
    for (const HttpProbe& p : m) {
        if (p.status != 200 || !p.error.empty()) {
            return false;
        }
    }
    return local.empty() ? VersionOf(m[0].body) == VersionOf(m[2].body)
                         : m[0].body == local[0] && m[2].body == local[1];
}

void CheckManifests(const std::vector<HttpProbe>& m, const std::vector<std::string>& local, double waited,
                    EVP_PKEY* key, std::vector<UpdateManifest>& read, Problems& problems) {
    bool readable[2] = {false, false};
    for (size_t i = 0; i < 2; ++i) {
        const HttpProbe &plain = m[2 * i], &offered = m[2 * i + 1];
        std::string where = kManifests[i], cacheControl = Quoted(Header(plain, "cache-control"));
        if (!plain.error.empty() || plain.status != 200) {
            Add(problems, where, Answer(plain) + " (the launcher needs 200): every player's update stops there");
            continue;
        }
        std::string type = ContentTypeProblem(plain, "application/json");
        if (!type.empty()) {
            Add(problems, where, type);
        }
        if (Encoded(plain)) {
            Add(problems, where, "Content-Encoding: " + Header(plain, "content-encoding") +
                                     ": the launcher reads the encoded bytes as the manifest and stops");
        }
        if (Encoded(offered) || (offered.error.empty() && offered.body != plain.body)) {
            Add(problems, where, (Encoded(offered) ? "Content-Encoding: " + Header(offered, "content-encoding")
                                                   : std::string("other bytes")) +
                                     " when the request offers gzip, br: a player behind a proxy that offers "
                                     "compression cannot update");
        }
        if (!(readable[i] = ParseManifest(plain.body, read[i]))) {
            Add(problems, where, "the launcher cannot read it as a manifest: every player's update stops there");
            continue;
        }
        uint64_t serial = 0;
        std::string seal = key ? SealProblem(key, plain.body, serial) : std::string();
        if (!seal.empty()) {
            Add(problems, where, seal + ": every launcher built with the team's key refuses it");
        }
        long seconds = CacheSeconds(plain);
        if (seconds < 0 || seconds > kLongestManifestSeconds) {
            Add(problems, where, (seconds < 0 ? "no cache time" : "may be kept " + std::to_string(seconds) + " s") +
                                     " (Cache-Control " + cacheControl + "; needs no-cache or at most 60 s): after a "
                                     "publish, players are offered the previous version as long as a cache keeps it");
        }
        if (!local.empty() && plain.body != local[i]) {
            char after[64] = "";
            if (waited > 0) {
                std::snprintf(after, sizeof after, " (still after %.0f s)", waited);
            }
            Add(problems, where, "players are offered " + WideToUtf8(read[i].version) + ", the served folder has " +
                                     VersionOf(local[i]) + after + ": not yet synced, or a cache still holds it");
        }
    }
    if (readable[0] && readable[1] && read[0].version != read[1].version) {
        Add(problems, kManifests[0], "names " + WideToUtf8(read[0].version) + ", " + kManifests[1] + " names " +
                                         WideToUtf8(read[1].version) + ": installed and new players get different versions");
    }
}

// A live serial that the local history does not know and that passes its newest: that history is older
// than what players were given (restored from a backup), and a publish from it could hand out a serial
// launchers refuse, or a label players already have with other files.
void CheckSerials(const std::string& served, const std::vector<HttpProbe>& m, Problems& problems) {
    HistoryDb db(nullptr, &sqlite3_close_v2);
    std::vector<PublishedVersion> versions;
    std::string error;
    if (!OpenHistory(served, false, db, error) || !HistoryVersions(db.get(), versions, error)) {
        problems.push_back(error);
        return;
    }
    uint64_t newest = HighestSerial(versions);
    for (size_t i = 0; i < 2; ++i) {
        uint64_t serial = 0;
        std::string signature;
        if (!FindManifestSeal(m[2 * i].body, serial, signature) || serial <= newest) {
            continue;
        }
        Add(problems, kManifests[i], "serial " + std::to_string(serial) + ", above " + std::to_string(newest) +
                                         ", the newest the history in " + served + " records: that history is older "
                                         "than what players have (restored from a backup?). Do not publish from it, nor "
                                         "re-run a label it lacks; see \"Signed manifests\" in the shipping guide" +
                                         (SerialAheadProblem(serial, SerialNow()).empty() ? "" : "; its " +
                                          SerialAheadProblem(serial, SerialNow())));
    }
}

// A problem that many stored files share (a front's setting, mostly) is told once, with the count and the
// first few of them; each problem is "URL (PATH): what".
void AddGrouped(const Problems& stored, Problems& problems) {
    std::map<std::string, std::vector<std::string>> where;  // what -> files
    std::vector<std::string> order;
    for (const std::string& p : stored) {
        size_t colon = p.find(": ");
        std::vector<std::string>& files = where[p.substr(colon + 2)];
        order.insert(order.end(), files.empty(), p.substr(colon + 2));
        files.push_back(p.substr(0, colon));
    }
    for (const std::string& what : order) {
        const std::vector<std::string>& files = where[what];
        problems.push_back(files.size() == 1 ? files[0] + ": " + what
                                             : Count(files.size(), "stored file") + ": " + what + " (" +
                                                   NamesText(files, kPathsShown) + ")");
    }
}

// When no manifest could be asked at all (a host that does not resolve, a certificate not trusted, no
// connection), that one reason is the answer.
bool Unreachable(const std::string& base, const std::vector<HttpProbe>& m, Problems& problems) {
    for (const HttpProbe& p : m) {
        if (p.status != 0 || p.error.empty() || p.error != m[0].error) {
            return false;
        }
    }
    problems.push_back(base + ": " + m[0].error);
    return true;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

std::string CheckUrlProblem(const std::string& url) {
    static const std::regex kHostUrl("https://([A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)*|\\[[0-9A-Fa-f:.]+\\])(:[0-9]{1,5})?/?");
    return std::regex_match(url, kHostUrl)
               ? std::string()
               : "must be https:// and the update host as players reach it, with :PORT if not 443 and nothing "
                 "after it, not '" + url + "'";
}

bool CheckHost(const CheckOptions& options, Problems& problems) {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::string base = options.url.back() == '/' ? options.url.substr(0, options.url.size() - 1) : options.url;
    std::string error;
    SigningKey key(nullptr, &EVP_PKEY_free);
    if (!options.publicKey.empty() && !(key = LoadPublicKey(options.publicKey, error))) {
        problems.push_back(error);
        return false;
    }
    std::vector<std::string> local;
    for (const char* path : options.served.empty() ? std::vector<const char*>() : std::vector<const char*>(
                                                                                     std::begin(kManifests), std::end(kManifests))) {
        local.emplace_back();
        if (!ReadWhole(options.served + path, local.back())) {
            problems.push_back(options.served + path + " cannot be read: give the folder publish writes (--served)");
            return false;
        }
    }
    std::vector<HttpProbe> manifests;
    double waited = 0;
    do {  // a pipeline's check right after a publish and a purge waits until the host serves it
        if (waited > 0) {
            std::this_thread::sleep_for(kPoll);
        }
        manifests = ManifestProbes();
        if (!RunProbes(base, options.caFile, manifests, kParallel, error)) {
            problems.push_back(error);
            return false;
        }
        waited = SecondsSince(start);
    } while (!Settled(manifests, local) && waited < options.waitSeconds);
    if (Unreachable(base, manifests, problems)) {
        return false;
    }
    std::vector<UpdateManifest> read(2);
    CheckManifests(manifests, local, options.waitSeconds > 0 ? waited : 0, key.get(), read, problems);
    if (!options.served.empty()) {
        CheckSerials(options.served, manifests, problems);
    }

    std::mt19937_64 random{std::random_device()()};
    std::vector<Stored> files = StoredFiles(read);
    std::vector<Stored> chosen = Chosen(files, options, WideToUtf8(read[0].version), random, problems);
    std::vector<HttpProbe> probes = StoredProbes(chosen, random, problems);
    uint64_t bytes = 0;
    for (const Stored& f : chosen) {
        bytes += f.size;
    }
    probes.push_back(Probe(kMissingBlob));
    probes.back().stopAfter = 0;
    if (!RunProbes(base, options.caFile, probes, kParallel, error)) {
        problems.push_back(error);
        return false;
    }
    Problems stored;
    for (size_t i = 0; i < chosen.size(); ++i) {
        CheckStored(chosen[i], &probes[4 * i], stored);
    }
    AddGrouped(stored, problems);
    const HttpProbe& missing = probes.back();
    if (missing.status == 200) {
        Add(problems, kMissingBlob, "answers 200 for a file that was never published");
    } else if (CacheSeconds(missing) > 0) {
        Add(problems, kMissingBlob, "its " + std::to_string(missing.status) + " may be kept " +
                                        std::to_string(CacheSeconds(missing)) + " s (Cache-Control " +
                                        Quoted(Header(missing, "cache-control")) + "): a file asked for before it "
                                        "reached the origin stays missing for players that long");
    }
    std::fprintf(stderr, "checked the manifests and %zu of %s (%s) at %s in %.1f s", chosen.size(),
                 Count(files.size(), "stored file").c_str(), Amount(static_cast<double>(bytes)).c_str(), base.c_str(),
                 SecondsSince(start));
    std::fprintf(stderr, options.waitSeconds > 0 ? " (the manifests, asked for %.1f s)\n" : "\n", waited);
    return problems.empty();
}
