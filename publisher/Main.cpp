#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "publisher/Publisher.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  orvane-publish publish --build DIR --version TEXT [--mandatory] --served ROOT\n"
    "      stores the build's files under ROOT/updates/blobs/ and writes ROOT/updates/latest.json and\n"
    "      full.json (last, each renamed into place); ROOT/publish-history.json records the version\n"
    "  orvane-publish verify --served ROOT\n"
    "      checks that the manifests read back as published and every stored file is intact\n"
    "  orvane-publish prune --served ROOT [--keep N]\n"
    "      removes stored files that neither the manifests nor the last N versions (default 3) use\n";

std::string Option(const std::vector<std::string>& args, const std::string& name) {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == name) {
            return args[i + 1];
        }
    }
    return std::string();
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "orvane-publish: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string served = Option(args, "--served");
    if (served.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string error;
    if (args[0] == "publish") {
        std::string build = Option(args, "--build");
        bool mandatory = false;
        for (const std::string& a : args) {
            mandatory = mandatory || a == "--mandatory";
        }
        if (build.empty()) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        return Publish(build, served, Option(args, "--version"), mandatory, error) ? 0 : Fail(error);
    }
    if (args[0] == "verify") {
        std::vector<std::string> problems;
        bool ok = Verify(served, problems);
        for (const std::string& p : problems) {
            std::fprintf(stderr, "orvane-publish: %s\n", p.c_str());
        }
        if (ok) {
            std::fprintf(stderr, "verified %s\n", served.c_str());
        }
        return ok ? 0 : 1;
    }
    if (args[0] == "prune") {
        std::string keep = Option(args, "--keep");
        std::vector<std::string> removed;
        if (!Prune(served, keep.empty() ? 3 : std::strtoul(keep.c_str(), nullptr, 10), removed, error)) {
            return Fail(error);
        }
        std::fprintf(stderr, "removed %zu stored files\n", removed.size());
        return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
