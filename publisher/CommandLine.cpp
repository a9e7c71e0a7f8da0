#include "publisher/CommandLine.h"

#include <algorithm>
#include <filesystem>

#include "publisher/Estimate.h"

namespace fs = std::filesystem;

namespace {

constexpr double kLongestLockSeconds = 86400;
constexpr size_t kFarthestSuggestion = 3;  // letters changed, added or left out

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
std::string ValueProblem(const std::string& text) {
    return text.empty() ? std::string("must not be empty")
                        : text[0] == '-' ? "must not begin with '-' ('" + text + "'): is a value missing?" : std::string();
}
const CLI::Validator kValue([](std::string& text) { return ValueProblem(text); }, "");

const CLI::Validator kFolder(
    [](std::string& text) {
        std::error_code error;
        bool file = fs::exists(text, error) && !fs::is_directory(text, error);
        return !ValueProblem(text).empty() ? ValueProblem(text)
                                           : file ? "names a file, not a folder: '" + text + "'" : std::string();
    },
    "");

// A folder inside a served tree (ROOT/updates, say) would get a served tree of its own.
const CLI::Validator kServed(
    [](std::string& text) {
        std::string problem = kFolder(text);
        std::error_code error;
        fs::path path = fs::weakly_canonical(fs::absolute(text), error);
        for (fs::path above = path.parent_path(); problem.empty() && !error && above != above.parent_path();
             above = above.parent_path()) {
            for (const char* mark : {"publish-history.db", "publish-history.json", "updates/latest.json"}) {
                if (problem.empty() && fs::exists(above / mark, error)) {
                    problem = "'" + text + "' is inside the served folder " + above.string() + " (which holds " + mark +
                              "): give --served " + above.string();
                }
            }
        }
        return problem;
    },
    "");

const CLI::Validator kExistingFile(
    [](std::string& text) {
        std::error_code error;
        return !ValueProblem(text).empty() ? ValueProblem(text)
                                           : fs::exists(text, error) ? std::string() : "no such file '" + text + "'";
    },
    "");

const CLI::Validator kPlayerLink(
    [](std::string& text) {
        PlayerLink link;
        return ParsePlayerLink(text, link) ? std::string()
                                           : "must be Mbit/s above 0 and a round trip in ms, as 50,60; not '" + text + "'";
    },
    "");

size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string Closest(const std::string& word, const std::vector<std::string>& names) {
    std::string best;
    size_t bestDistance = kFarthestSuggestion + 1;
    for (const std::string& n : names) {
        if (Distance(word, n) < bestDistance) {
            bestDistance = Distance(word, n);
            best = n;
        }
    }
    return best.empty() ? std::string() : "; did you mean " + best + "?";
}

void AddServed(CLI::App* command, std::string& served) {
    command->add_option("--served", served, "the served folder (nginx's root)")->type_name("ROOT")->required()->check(kServed);
}

void AddSigningKey(CLI::App* command, PublishOptions& options) {
    command->add_option("--signing-key", options.signingKey, "sign the manifests with this private key (from keygen; "
                                                             "a --dry-run needs none)")
        ->type_name("FILE")
        ->check(kExistingFile);
    command->add_flag("--switch-key", options.switchKey, "sign with another key than the last signed version "
                                                         "(once launchers with both keys have reached players)");
    command->add_flag("--clock-behind-ok", options.clockBehindOk, "run although the history records a later publish "
                                                                  "than this clock's time (only when that time is wrong)");
}

void AddLockTimeout(CLI::App* command, double& seconds) {
    command->add_option("--lock-timeout", seconds, "how long to wait for another publish, prune, rollback or push "
                                                   "(0 to 86400)")
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

// publish and rollback share everything but where the files come from.
void AddServing(CLI::App* command, Arguments& a, const char* dryRun) {
    command->add_option("--version", a.options.version, "the new version's label")->type_name("LABEL")->required()->check(kValue);
    command->add_flag("--mandatory", a.options.mandatory, "players must not play an older version");
    command->add_flag("--dry-run", a.options.dryRun, dryRun);
    AddPlayerLink(command, a.playerLink);
    AddServed(command, a.served);
    AddSigningKey(command, a.options);
    AddLockTimeout(command, a.options.lockSeconds);
}

void AddCheck(CLI::App* check, CheckOptions& checking) {
    check->add_option("--url", checking.url, "the update host as players reach it")
        ->type_name("https://HOST")
        ->required()
        ->check(CLI::Validator([](std::string& text) { return CheckUrlProblem(text); }, ""));
    check->add_option("--served", checking.served, "the served folder the host must serve byte for byte")
        ->type_name("ROOT")
        ->check(kServed);
    check->add_option("--ca-file", checking.caFile, "trust these authorities instead of the system's")
        ->type_name("FILE")
        ->check(kExistingFile);
    CLI::Option* all = check->add_flag("--all", checking.all, "every stored file the manifests name");
    check->add_option("--sample", checking.sample, "N stored files at random, and every file new in the version")
        ->type_name("N")
        ->check(kAtLeastOne)
        ->excludes(all)
        ->capture_default_str();
    check->add_option("--public-key", checking.publicKey, "also check the manifests' signatures with this FILE.pub")
        ->type_name("FILE.pub")
        ->check(kExistingFile);
    check->add_option("--wait", checking.waitSeconds, "ask again until the host serves the served folder's manifests")
        ->type_name("SECONDS")
        ->check(kSeconds);
}

void AddPush(CLI::App* push, Arguments& a) {
    AddServed(push, a.served);
    push->add_option("--to", a.pushing.to, "where the origin's web server or the bucket reads from: a local folder or "
                                           "anything rclone reaches (remote:bucket/prefix, remote:/srv/orvane)")
        ->type_name("DEST")
        ->required()
        ->check(kValue);
    push->add_flag("--delete", a.pushing.removeUnkept, "also delete stored files there that no version kept here names "
                                                       "(never one the manifests there name)");
    push->add_flag("--dry-run", a.pushing.dryRun, "send nothing; print what would be sent and deleted");
    push->add_option("--rclone-config", a.pushing.rcloneConfig, "rclone's configuration file (default: rclone's own)")
        ->type_name("FILE")
        ->check(kExistingFile);
    AddLockTimeout(push, a.pushing.lockSeconds);
}

}  // namespace

Commands AddCommands(CLI::App& app, Arguments& a) {
    Commands c{};
    c.publish = app.add_subcommand("publish", "stores a build's files and serves it as a new version (ROOT/updates/)");
    c.publish->add_option("--build", a.build, "the game build's folder, as installed on Windows")
        ->type_name("DIR")
        ->required()
        ->check(kFolder);
    AddServing(c.publish, a, "write nothing; print what would change and what players download");
    c.publish->add_flag("--allow-empty", a.options.allowEmpty, "publish a build without files (every file is retired)");

    c.verify = app.add_subcommand("verify", "checks that the manifests read back as published and every stored file "
                                            "they name is intact");
    AddServed(c.verify, a.served);
    c.verify->add_option("--public-key", a.keyFile, "also check the manifests' signatures and serials with this FILE.pub")
        ->type_name("FILE.pub")
        ->check(kExistingFile);

    c.prune = app.add_subcommand("prune", "removes stored files that neither the manifests nor the last N versions use");
    c.prune->add_option("--keep", a.keep, "how many recent versions keep their files (at least 1)")
        ->type_name("N")
        ->check(kAtLeastOne)
        ->capture_default_str();
    AddServed(c.prune, a.served);
    AddLockTimeout(c.prune, a.options.lockSeconds);

    c.history = app.add_subcommand("history", "lists the published versions, oldest first");
    AddServed(c.history, a.served);
    c.history->add_flag("--json", a.historyJson, "the whole history with every version's files, as JSON (for scripts and backups)");

    c.rollback = app.add_subcommand("rollback", "publishes the files of an earlier version again under a new label");
    c.rollback->add_option("--to", a.from, "the earlier version's label")->type_name("LABEL")->required()->check(kValue);
    AddServing(c.rollback, a, "write nothing; print what would change");

    c.keygen = app.add_subcommand("keygen", "makes a manifest signing key: FILE (private, mode 0600) and FILE.pub "
                                            "(for the launcher build, release.sh and verify)");
    c.keygen->add_option("--out", a.keyFile, "the private key's file; never overwritten")->type_name("FILE")->required()->check(kValue);

    c.check = app.add_subcommand("check", "asks the live update host what players' launchers ask and names every "
                                          "answer that would fail them");
    AddCheck(c.check, a.checking);

    c.push = app.add_subcommand("push", "sends the served tree to the origin or bucket players reach, through rclone: "
                                        "stored files first, the manifests last");
    AddPush(c.push, a);
    for (CLI::App* command : app.get_subcommands({})) {
        command->allow_extras();  // told by LeftOverProblem, naming the word
    }
    return c;
}

std::string CommandProblem(CLI::App& app, int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') {
        return std::string();
    }
    std::vector<std::string> names;
    for (CLI::App* command : app.get_subcommands({})) {
        names.push_back(command->get_name());
        if (command->get_name() == argv[1]) {
            return std::string();
        }
    }
    return std::string(argv[1]) + ": no such command" + Closest(argv[1], names);
}

std::string LeftOverProblem(CLI::App& app) {
    for (CLI::App* command : app.get_subcommands()) {
        std::vector<std::string> left = command->remaining();
        if (left.empty()) {
            continue;
        }
        if (left[0].rfind("-", 0) != 0) {
            return left[0] + ": a value without its option (" + command->get_name() + " takes only options)";
        }
        std::vector<std::string> names;
        for (const CLI::Option* option : command->get_options()) {
            for (const std::string& name : option->get_lnames()) {
                names.push_back("--" + name);
            }
        }
        std::string word = left[0].substr(0, left[0].find('='));
        return word + ": no such option" + Closest(word, names);
    }
    return std::string();
}
