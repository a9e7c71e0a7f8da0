#include <cstdio>

#include "launcher/GameLaunch.h"
#include "support/TextEncoding.h"

// Copied beside a game like the launcher is, it starts the game the launcher's way and prints
// "started" or the player's error text.
int wmain() {
    std::wstring errorText;
    bool started = LaunchGame(errorText);
    std::fputs(started ? "started" : WideToUtf8(errorText).c_str(), stdout);
    return started ? 0 : 1;
}
