#pragma once
// orvane-publish's commands and options, and how a mistyped command line is told.
#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "publisher/Check.h"
#include "publisher/Publisher.h"
#include "publisher/Push.h"

// A mistyped option or value must stop a publish: it reaches every player otherwise.
constexpr int kUsageError = 2;
constexpr int kRefused = 1;

// What the command line asked for, filled in by parsing.
struct Arguments {
    std::string served, build, from, keyFile, playerLink;
    PublishOptions options;
    size_t keep = 3;
    bool historyJson = false;
    CheckOptions checking;
    PushOptions pushing;
};

struct Commands {
    CLI::App *publish, *rollback, *verify, *prune, *history, *keygen, *check, *push;
};

// Adds every command with its options to the app, bound to the arguments.
Commands AddCommands(CLI::App& app, Arguments& arguments);
// Empty when argv names a command of the app (or none at all, or an option); else the usage error
// naming it, with the closest command.
std::string CommandProblem(CLI::App& app, int argc, char** argv);
// Empty when the command parsed has no word left over; else the usage error naming the first, as an
// option that does not exist (with the closest one) or a value without its option.
std::string LeftOverProblem(CLI::App& app);
