#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "publisher/Check.h"
#include "publisher/Estimate.h"
#include "publisher/History.h"
#include "publisher/Publisher.h"
#include "publisher/Signing.h"

namespace {

// A mistyped option or value must stop a publish: it reaches every player otherwise.
constexpr int kUsageError = 2;
constexpr int kRefused = 1;
constexpr double kLongestLockSeconds = 86400;

// Our own checks, because CLI11 reads numbers with base 0 ("010" is 8) and wraps "-1" into unsigned.
const CLI::Validator kAtLeastOne(
    [](std::string& text) {
        bool digits = !text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos;
        return digits && std::stoul(text) >= 1 ? std::string() : "must be a whole number of at least 1, not '" + text + "'";
    },
    "");
const CLI::Validator kSeconds(
    [](std::string& text) {
        double value = 0;
        return ParseNumber(text, kLongestLockSeconds, value)
                   ? std::string()
                   : "must be a number of seconds from 0 to 86400, not '" + text + "'";
    },
    "");

// A path or a label that is empty or looks like an option is a slip of the command line: with it, a
// missing value would swallow the option after it (--version --dry-run publishing "--dry-run").
const CLI::Validator kValue(
    [](std::string& text) {
        return text.empty() ? std::string("must not be empty")
                            : text[0] == '-' ? "must not begin with '-' ('" + text + "'): is a value missing?" : std::string();
    },
    "");

const CLI::Validator kPlayerLink(
    [](std::string& text) {
        PlayerLink link;
        return ParsePlayerLink(text, link) ? std::string()
                                           : "must be Mbit/s above 0 and a round trip in ms, as 50,60; not '" + text + "'";
    },
    "");

int Fail(const std::string& message) {
    std::fprintf(stderr, "orvane-publish: %s\n", message.c_str());
    return kRefused;
}

void AddServed(CLI::App* command, std::string& served) {
    command->add_option("--served", served, "the served folder (nginx's root)")->type_name("ROOT")->required()->check(kValue);
}

void AddSigningKey(CLI::App* command, PublishOptions& options) {
    command->add_option("--signing-key", options.signingKey, "sign the manifests with this private key (from keygen)")
        ->type_name("FILE")
        ->check(kValue);
    command->add_flag("--switch-key", options.switchKey, "sign with another key than the last signed version "
                                                         "(once launchers with both keys have reached players)");
}

void AddLockTimeout(CLI::App* command, double& seconds) {
    command->add_option("--lock-timeout", seconds, "how long to wait for another publish, prune or rollback (0 to 86400)")
        ->type_name("SECONDS")
        ->check(kSeconds)
        ->capture_default_str();
}

void AddPlayerLink(CLI::App* command, std::string& link) {
    command->add_option("--player-link", link, "the player's line that --dry-run estimates update times for "
                                               "(default 50,60: 50 Mbit/s, 60 ms round trip)")
        ->type_name("MBITS,MS")
        ->check(kPlayerLink);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Publishes game builds for the launcher and keeps the served tree.", "orvane-publish");
    app.require_subcommand(1);
    std::string served, build, from, keyFile, playerLink;
    PublishOptions options;
    size_t keep = 3;

    CLI::App* publish = app.add_subcommand(
        "publish", "stores a build's files and serves it as a new version (ROOT/updates/)");
    publish->add_option("--build", build, "the game build's folder, as installed on Windows")
        ->type_name("DIR")
        ->required()
        ->check(kValue);
    publish->add_option("--version", options.version, "the new version's label")->type_name("LABEL")->required()->check(kValue);
    publish->add_flag("--mandatory", options.mandatory, "players must not play an older version");
    publish->add_flag("--dry-run", options.dryRun, "write nothing; print what would change and what players download");
    publish->add_flag("--allow-empty", options.allowEmpty, "publish a build without files (every file is retired)");
    AddPlayerLink(publish, playerLink);
    AddServed(publish, served);
    AddSigningKey(publish, options);
    AddLockTimeout(publish, options.lockSeconds);

    CLI::App* verify = app.add_subcommand("verify", "checks that the manifests read back as published and "
                                                    "every stored file they name is intact");
    AddServed(verify, served);
    verify->add_option("--public-key", keyFile, "also check the manifests' signatures and serials with this FILE.pub")
        ->type_name("FILE.pub")
        ->check(kValue);

    CLI::App* prune = app.add_subcommand("prune", "removes stored files that neither the manifests nor the "
                                                  "last N versions use");
    prune->add_option("--keep", keep, "how many recent versions keep their files (at least 1)")
        ->type_name("N")
        ->check(kAtLeastOne)
        ->capture_default_str();
    AddServed(prune, served);
    AddLockTimeout(prune, options.lockSeconds);

    CLI::App* history = app.add_subcommand("history", "lists the published versions, oldest first");
    AddServed(history, served);
    bool asJson = false;
    history->add_flag("--json", asJson, "the whole history with every version's files, as JSON (for scripts and backups)");

    CLI::App* rollback = app.add_subcommand("rollback", "publishes the files of an earlier version again under "
                                                        "a new label");
    rollback->add_option("--to", from, "the earlier version's label")->type_name("LABEL")->required()->check(kValue);
    rollback->add_option("--version", options.version, "the new version's label")
        ->type_name("LABEL")
        ->required()
        ->check(kValue);
    rollback->add_flag("--mandatory", options.mandatory, "players must not play an older version");
    rollback->add_flag("--dry-run", options.dryRun, "write nothing; print what would change");
    AddPlayerLink(rollback, playerLink);
    AddServed(rollback, served);
    AddSigningKey(rollback, options);
    AddLockTimeout(rollback, options.lockSeconds);

    CLI::App* keygen = app.add_subcommand("keygen", "makes a manifest signing key: FILE (private, mode 0600) and "
                                                    "FILE.pub (for the launcher build, release.sh and verify)");
    keygen->add_option("--out", keyFile, "the private key's file; never overwritten")->type_name("FILE")->required()->check(kValue);

    CheckOptions checking;
    CLI::App* check = app.add_subcommand("check", "asks the live update host what players' launchers ask and "
                                                  "names every answer that would fail them");
    check->add_option("--url", checking.url, "the update host as players reach it")
        ->type_name("https://HOST")
        ->required()
        ->check(CLI::Validator([](std::string& text) { return CheckUrlProblem(text); }, ""));
    check->add_option("--served", checking.served, "the served folder the host must serve byte for byte")
        ->type_name("ROOT")
        ->check(kValue);
    check->add_option("--ca-file", checking.caFile, "trust these authorities instead of the system's")
        ->type_name("FILE")
        ->check(CLI::Validator(CLI::ExistingFile).description(""));
    CLI::Option* all = check->add_flag("--all", checking.all, "every stored file the manifests name");
    check->add_option("--sample", checking.sample, "N stored files at random, and every file new in the version")
        ->type_name("N")
        ->check(kAtLeastOne)
        ->excludes(all)
        ->capture_default_str();
    check->add_option("--public-key", checking.publicKey, "also check the manifests' signatures with this FILE.pub")
        ->type_name("FILE.pub")
        ->check(kValue);
    check->add_option("--wait", checking.waitSeconds, "ask again until the host serves the served folder's manifests")
        ->type_name("SECONDS")
        ->check(kSeconds);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return app.exit(e);  // --help, printed to standard output
        }
        bool commandGiven = !app.get_subcommands().empty();
        std::fprintf(stderr, "orvane-publish: %s\n%s(see orvane-publish --help, or COMMAND --help)\n", e.what(),
                     commandGiven ? "" : "commands: publish, rollback, verify, prune, history, keygen, check\n");
        return kUsageError;
    }

    if (!playerLink.empty()) {
        ParsePlayerLink(playerLink, options.playerLink);  // checked while parsing
    }
    std::string error;
    if (publish->parsed()) {
        return Publish(build, served, options, error) ? 0 : Fail(error);
    }
    if (rollback->parsed()) {
        return Rollback(served, from, options, error) ? 0 : Fail(error);
    }
    if (prune->parsed()) {
        std::vector<std::string> removed;
        if (!Prune(served, keep, options.lockSeconds, removed, error)) {
            return Fail(error);
        }
        std::fprintf(stderr, "removed %zu stored files\n", removed.size());
        return 0;
    }
    if (check->parsed()) {
        std::vector<std::string> problems;
        bool right = CheckHost(checking, problems);
        for (const std::string& p : problems) {
            Fail(p);
        }
        return right ? 0 : kRefused;
    }
    if (keygen->parsed()) {
        std::string publicLine;
        if (!MakeSigningKey(keyFile, publicLine, error)) {
            return Fail(error);
        }
        std::printf("%s\n", publicLine.c_str());
        std::fprintf(stderr, "wrote %s (the private key: keep it off the update host) and %s.pub\n", keyFile.c_str(),
                     keyFile.c_str());
        return 0;
    }
    if (history->parsed()) {
        HistoryDb db(nullptr, &sqlite3_close_v2);
        return OpenHistory(served, false, db, error) && PrintHistory(db.get(), asJson, stdout, error) ? 0 : Fail(error);
    }
    std::vector<std::string> problems;
    bool ok = Verify(served, problems, keyFile);
    for (const std::string& p : problems) {
        Fail(p);
    }
    if (ok) {
        std::fprintf(stderr, "verified %s\n", served.c_str());
    }
    return ok ? 0 : kRefused;
}
