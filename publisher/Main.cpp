#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "publisher/CommandLine.h"
#include "publisher/Estimate.h"
#include "publisher/History.h"
#include "publisher/ProgressLine.h"
#include "publisher/Signing.h"

namespace {

const char kCommandList[] = "commands: publish, rollback, verify, prune, history, keygen, check, push\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "orvane-publish: %s\n", message.c_str());
    return kRefused;
}

int UsageError(const std::string& message, bool listCommands) {
    std::fprintf(stderr, "orvane-publish: %s\n%s(see orvane-publish --help, or COMMAND --help)\n", message.c_str(),
                 listCommands ? kCommandList : "");
    return kUsageError;
}

int Problems(bool ok, const std::vector<std::string>& problems) {
    for (const std::string& p : problems) {
        Fail(p);
    }
    return ok ? 0 : kRefused;
}

int RunPrune(Arguments& a) {
    std::vector<std::string> removed;
    std::string error;
    if (!Prune(a.served, a.keep, a.options.lockSeconds, removed, error)) {
        return Fail(error);
    }
    std::fprintf(stderr, "removed %s\n", Count(removed.size(), "stored file").c_str());
    return 0;
}

int RunKeygen(Arguments& a) {
    std::string publicLine, error;
    if (!MakeSigningKey(a.keyFile, publicLine, error)) {
        return Fail(error);
    }
    std::printf("%s\n", publicLine.c_str());
    std::fprintf(stderr, "wrote %s (the private key: keep it off the update host) and %s.pub\n", a.keyFile.c_str(),
                 a.keyFile.c_str());
    return 0;
}

int RunHistory(Arguments& a) {
    std::string error;
    if (!std::filesystem::exists(a.served)) {
        return Fail("no served folder " + a.served + "; nothing has been published there");
    }
    HistoryDb db(nullptr, &sqlite3_close_v2);
    return OpenHistory(a.served, false, db, error) && PrintHistory(db.get(), a.historyJson, stdout, error) ? 0
                                                                                                            : Fail(error);
}

int RunVerify(Arguments& a) {
    std::vector<std::string> problems;
    bool ok = Verify(a.served, problems, a.keyFile);
    if (ok) {
        std::fprintf(stderr, "verified %s\n", a.served.c_str());
    }
    return Problems(ok, problems);
}

int RunCheck(Arguments& a) {
    std::vector<std::string> problems;
    bool right = CheckHost(a.checking, problems);
    Problems(right, problems);
    // The verdict is the result a pipeline reads; the problems above it say why.
    std::printf(right ? "players are served right\n" : "players are not served right: %s\n",
                Count(problems.size(), "problem").c_str());
    return right ? 0 : kRefused;
}

int RunPublish(Arguments& a) {
    std::string error;
    return Publish(a.build, a.served, a.options, error) ? 0 : Fail(error);
}

int RunRollback(Arguments& a) {
    std::string error;
    return Rollback(a.served, a.from, a.options, error) ? 0 : Fail(error);
}

int RunPush(Arguments& a) {
    std::string error;
    return Push(a.served, a.pushing, error) ? 0 : Fail(error);
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptLine();
    CLI::App app("Publishes game builds for the launcher, keeps the served tree and pushes it to players' origin.",
                 "orvane-publish");
    app.require_subcommand(1);
    Arguments arguments;
    Commands c = AddCommands(app, arguments);
    std::string problem = CommandProblem(app, argc, argv);
    if (!problem.empty()) {
        return UsageError(problem, true);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return app.exit(e);  // --help, printed to standard output
        }
        // A mistyped option is named as such, not as the required one it left out.
        problem = LeftOverProblem(app);
        return UsageError(problem.empty() ? e.what() : problem, app.get_subcommands().empty());
    }
    problem = LeftOverProblem(app);
    if (!problem.empty()) {
        return UsageError(problem, false);
    }
    if (!arguments.playerLink.empty()) {
        ParsePlayerLink(arguments.playerLink, arguments.options.playerLink);  // checked while parsing
    }
    const std::pair<CLI::App*, int (*)(Arguments&)> runs[] = {
        {c.publish, RunPublish}, {c.rollback, RunRollback}, {c.prune, RunPrune}, {c.check, RunCheck},
        {c.keygen, RunKeygen},   {c.history, RunHistory},   {c.verify, RunVerify}, {c.push, RunPush}};
    for (const auto& [command, run] : runs) {
        if (command->parsed()) {
            return run(arguments);
        }
    }
    return kUsageError;
}
