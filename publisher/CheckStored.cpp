// The stored files' answers, held to what the launcher's resumable download relies on.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>

#include "publisher/CheckAnswers.h"
#include "publisher/History.h"
#include "publisher/Publisher.h"
#include "support/TextEncoding.h"

namespace {

constexpr uint64_t kRangeBytes = 1 << 20;  // of a ranged answer, compared with the same bytes of the whole

}  // namespace

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

std::string ContentTypeProblem(const HttpProbe& p, const char* wanted) {
    std::string type = Header(p, "content-type");
    type = type.substr(0, type.find(';'));
    type.erase(type.find_last_not_of(' ') + 1);
    std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
    return type == wanted ? std::string()
                          : "Content-Type " + Quoted(Header(p, "content-type")) + ", not " + wanted +
                                ": CDNs and proxies compress, minify or re-encode by type, and the launcher needs "
                                "the bytes as published";
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
    std::string type = whole.status == 200 ? ContentTypeProblem(whole, "application/octet-stream") : std::string();
    if (!type.empty()) {
        Add(problems, where, type);
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

