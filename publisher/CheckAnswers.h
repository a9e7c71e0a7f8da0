#pragma once
// What check reads in the host's answers, shared by the manifests' checks and the stored files'.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "publisher/Check.h"
#include "publisher/HttpProbe.h"
#include "update/Manifest.h"

using Problems = std::vector<std::string>;

// A stored file as a manifest names it.
struct Stored {
    std::string path, url, sha256;
    uint64_t size = 0;
};

// Appends "where: what".
void Add(Problems& problems, const std::string& where, const std::string& what);
// The header's value (repeated fields joined), empty when absent.
std::string Header(const HttpProbe& p, const char* name);
std::string Quoted(const std::string& text);
// "answers N", or "breaks off (why)".
std::string Answer(const HttpProbe& p);
// Whether the answer carries a Content-Encoding other than identity.
bool Encoded(const HttpProbe& p);
// How long a shared cache may keep the answer without asking again: 0 when it must not keep it or
// must ask every time, -1 when the answer does not say.
long CacheSeconds(const HttpProbe& p);
// Empty when the answer's Content-Type is `wanted` (parameters aside); else what a front may do with it.
std::string ContentTypeProblem(const HttpProbe& p, const char* wanted);
// A plain GET of the path.
HttpProbe Probe(const std::string& path);
// Every stored file the manifests name, once each, in their order.
std::vector<Stored> StoredFiles(const std::vector<UpdateManifest>& read);
// All of them with options.all; else a sample, and every file new in the version served (the history
// in options.served tells which), since a new file is the likeliest not to have reached every edge.
std::vector<Stored> Chosen(const std::vector<Stored>& files, const CheckOptions& options, const std::string& version,
                           std::mt19937_64& random, Problems& problems);
// Four requests for each file, as CheckStored reads them: whole, from a random offset, at its end,
// and whole offering compression.
std::vector<HttpProbe> StoredProbes(const std::vector<Stored>& chosen, std::mt19937_64& random, Problems& problems);
// Appends what is wrong in the four answers p[0..3] for the file.
void CheckStored(const Stored& f, const HttpProbe* p, Problems& problems);
