// What players' launchers ask, asked of the live host through whatever stands in front of it, and
// every answer held to what the launcher relies on.
#include "publisher/Check.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "publisher/History.h"
#include "publisher/HttpProbe.h"
#include "publisher/ProgressLine.h"
#include "publisher/Publisher.h"
#include "publisher/Signing.h"
#include "publisher/Store.h"
#include "support/TextEncoding.h"
#include "update/Manifest.h"

namespace {

constexpr size_t kParallel = 8;
constexpr uint64_t kRangeBytes = 1 << 20;  // of a ranged answer, compared with the same bytes of the whole
constexpr long kLongestManifestSeconds = 60;
constexpr auto kPoll = std::chrono::seconds(1);
const char* const kManifests[] = {"/updates/latest.json", "/updates/full.json"};
// No file has this digest: what a front answers for a file the origin does not have (yet).
const std::string kMissingBlob = "/updates/blobs/" + std::string(64, '0');

struct Stored {
    std::string path, url, sha256;
    uint64_t size = 0;
};

using Problems = std::vector<std::string>;

void Add(Problems& problems, const std::string& where, const std::string& what) {
    problems.push_back(where + ": " + what);
}

std::string Header(const HttpProbe& p, const char* name) {
    auto found = p.headers.find(name);
    return found == p.headers.end() ? std::string() : found->second;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string Answer(const HttpProbe& p) {
    return p.error.empty() ? "answers " + std::to_string(p.status) : "breaks off (" + p.error + ")";
}

bool Encoded(const HttpProbe& p) {
    std::string encoding = Header(p, "content-encoding");
    return !encoding.empty() && encoding != "identity";
}

// How long a shared cache may keep the answer without asking again: 0 when it must not keep it or must
// ask every time, -1 when the answer does not say.
long CacheSeconds(const HttpProbe& p) {
    std::string value = Header(p, "cache-control");
    std::transform(value.begin(), value.end(), value.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const char* never : {"no-store", "no-cache", "private"}) {
        if (value.find(never) != std::string::npos) {
            return 0;
        }
    }
    for (const char* key : {"s-maxage=", "max-age="}) {  // s-maxage is the one shared caches obey
        size_t at = value.find(key);
        if (at != std::string::npos) {
            return std::strtol(value.c_str() + at + std::strlen(key), nullptr, 10);
        }
    }
    return -1;
}

HttpProbe Probe(const std::string& path) {
    HttpProbe p;
    p.path = path;
    return p;
}

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

// Every stored file the manifests name, once each, in their order.
std::vector<Stored> StoredFiles(const std::vector<UpdateManifest>& read) {
    std::vector<Stored> files;
    std::set<std::wstring> seen;
    for (const UpdateManifest& m : read) {
        for (const ManifestFile& f : m.files) {
            if (seen.insert(f.url).second) {
                files.push_back(Stored{WideToUtf8(f.path), WideToUtf8(f.url), WideToUtf8(f.sha256), f.size});
            }
        }
    }
    return files;
}

// A sample, and every file new in the version served (the history tells which), since a new file is
// the likeliest not to have reached every edge yet.
std::vector<Stored> Chosen(const std::vector<Stored>& files, const CheckOptions& options, const std::string& version,
                           std::mt19937_64& random, Problems& problems) {
    if (options.all) {
        return files;
    }
    HistoryDb db(nullptr, &sqlite3_close_v2);
    std::vector<PublishedVersion> versions;
    PublishedVersion before;
    std::string error;
    if (!options.served.empty() && (!OpenHistory(options.served, false, db, error) ||
                                    !HistoryVersions(db.get(), versions, error))) {
        problems.push_back(error);
    }
    bool known = false;
    for (size_t i = 0; i < versions.size() && !known; ++i) {
        known = versions[i].version == version;
        if (known && i > 0 && !VersionFiles(db.get(), versions[i - 1].version, before, error)) {
            problems.push_back(error);
        }
    }
    std::set<std::string> earlier;
    for (const BuildFile& f : before.files) {
        earlier.insert(f.sha256);
    }
    std::vector<size_t> order(files.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), random);
    std::vector<bool> take(files.size());
    for (size_t i = 0; i < order.size(); ++i) {
        take[order[i]] = i < options.sample || (known && !earlier.count(files[order[i]].sha256));
    }
    std::vector<Stored> chosen;
    for (size_t i = 0; i < files.size(); ++i) {
        if (take[i]) {
            chosen.push_back(files[i]);
        }
    }
    return chosen;
}

// p: the whole answer, one from a random offset, one at the end, one offered compression.
void CheckStored(const Stored& f, const HttpProbe* p, Problems& problems) {
    const HttpProbe &whole = p[0], &range = p[1], &end = p[2], &offered = p[3];
    std::string where = f.url + " (" + f.path + ")", from = std::to_string(range.rangeFrom);
    bool right = false;
    if (!whole.error.empty() || whole.status != 200) {
        Add(problems, where, Answer(whole) + " (the launcher needs 200): no player can install it");
    } else if (whole.received != f.size) {
        Add(problems, where, std::to_string(whole.received) + " bytes, the manifest says " + std::to_string(f.size) +
                                 ": every download of it fails its size check");
    } else if (whole.sha256 != f.sha256) {
        Add(problems, where, "its bytes differ from the manifest's SHA-256: every download of it fails its check");
    } else {
        right = true;
    }
    for (const HttpProbe* q : {&whole, &offered}) {
        if (Encoded(*q)) {
            Add(problems, where, "Content-Encoding: " + Header(*q, "content-encoding") +
                                     (q->offerEncoding ? " when the request offers gzip, br: a player behind a proxy "
                                                         "that offers compression fails every download of it"
                                                       : ": every download of it fails its check"));
        }
    }
    if (whole.status == 200 && CacheSeconds(whole) <= 0) {
        Add(problems, where, "not cacheable (Cache-Control " + Quoted(Header(whole, "cache-control")) +
                                 "): a CDN may ask the origin again for every player");
    }
    std::string asked = " to \"Range: bytes=" + from + "-\"";
    std::string wanted = "bytes " + from + "-" + std::to_string(f.size - 1) + "/" + std::to_string(f.size);
    bool ranged = f.size >= 2;  // a file of one byte has no offset inside it to resume from
    if (ranged && (!range.error.empty() || range.status != 206)) {
        Add(problems, where, Answer(range) + asked + " (the launcher needs 206): a download resumed there fails, "
                                                     "and so does every one of its 64 attempts");
    } else if (ranged && Header(range, "content-range") != wanted) {
        Add(problems, where, "Content-Range " + Quoted(Header(range, "content-range")) + asked + ", not " + Quoted(wanted));
    } else if (ranged && right && (range.sha256 != whole.spanSha256 || range.received != std::min(kRangeBytes, f.size - range.rangeFrom))) {
        Add(problems, where, "other bytes" + asked + ": a download resumed there fails its check");
    }
    if (f.size > 0 && (end.status != 416 || !end.error.empty())) {
        Add(problems, where, Answer(end) + " to \"Range: bytes=" + std::to_string(f.size) + "-\" (its end; needs 416)");
    } else if (f.size > 0 && CacheSeconds(end) > 0) {
        Add(problems, where, "its 416 may be kept " + std::to_string(CacheSeconds(end)) + " s (Cache-Control " +
                                 Quoted(Header(end, "cache-control")) + "): an error answer must not be cached");
    }
}

// Four requests for each file, as CheckStored reads them: whole, from a random offset, at its end,
// and whole offering compression.
std::vector<HttpProbe> StoredProbes(const std::vector<Stored>& chosen, std::mt19937_64& random, Problems& problems) {
    std::vector<HttpProbe> probes;
    for (const Stored& f : chosen) {
        if (f.url.rfind("/updates/", 0) != 0) {
            Add(problems, f.url + " (" + f.path + ")", "the launcher fetches only urls below /updates/ and stops");
        }
        uint64_t offset = f.size >= 2 ? 1 + random() % (f.size - 1) : 0;
        for (int kind = 0; kind < 4; ++kind) {
            probes.push_back(Probe(f.url));
        }
        HttpProbe* p = &probes[probes.size() - 4];
        p[0].spanFrom = offset;
        p[0].spanBytes = kRangeBytes;
        p[0].expectBytes = f.size;
        p[1].ranged = p[2].ranged = true;
        p[1].rangeFrom = offset;
        p[1].stopAfter = kRangeBytes;
        p[2].rangeFrom = f.size;
        p[2].stopAfter = p[3].stopAfter = 0;  // the headers tell all
        p[3].offerEncoding = true;
    }
    return probes;
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
    std::vector<UpdateManifest> read(2);
    CheckManifests(manifests, local, options.waitSeconds > 0 ? waited : 0, key.get(), read, problems);

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
    for (size_t i = 0; i < chosen.size(); ++i) {
        CheckStored(chosen[i], &probes[4 * i], problems);
    }
    const HttpProbe& missing = probes.back();
    if (missing.status == 200) {
        Add(problems, kMissingBlob, "answers 200 for a file that was never published");
    } else if (CacheSeconds(missing) > 0) {
        Add(problems, kMissingBlob, "its " + std::to_string(missing.status) + " may be kept " +
                                        std::to_string(CacheSeconds(missing)) + " s (Cache-Control " +
                                        Quoted(Header(missing, "cache-control")) + "): a file asked for before it "
                                        "reached the origin stays missing for players that long");
    }
    std::fprintf(stderr, "checked the manifests and %zu of %zu stored files (%s) at %s in %.1f s", chosen.size(),
                 files.size(), Amount(static_cast<double>(bytes)).c_str(), base.c_str(), SecondsSince(start));
    std::fprintf(stderr, options.waitSeconds > 0 ? " (the manifests, asked for %.1f s)\n" : "\n", waited);
    if (problems.empty()) {
        std::fprintf(stderr, "players are served right\n");
    }
    return problems.empty();
}
