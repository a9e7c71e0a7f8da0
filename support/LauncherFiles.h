#pragma once

// The files the launcher keeps beside the game, by name, narrow for the publisher (which refuses a
// build that ships one) and wide (L"" ORVANE_...) for the launcher.
#define ORVANE_VERSION_FILE "launcher-version.txt"
#define ORVANE_LOG_FILE "launcher-update.log"
#define ORVANE_SERIAL_FILE "launcher-manifest-serial.txt"
#define ORVANE_PENDING_FILE "launcher-update-pending.txt"

// Every one of them: no build may ship one and no obsolete list may name one (nor its ".download").
constexpr const char* kLauncherOwnFiles[] = {ORVANE_VERSION_FILE, ORVANE_LOG_FILE, ORVANE_SERIAL_FILE,
                                             ORVANE_PENDING_FILE};
