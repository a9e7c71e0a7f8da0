#pragma once
#include <string>

#include "support/Progress.h"

struct UpdateVerdict {
    std::wstring message;
    bool canPlay = true;
};

// Brings the installation folder in line with the update server and says whether the game may start.
UpdateVerdict RunUpdateSession(const std::wstring& installFolder, ProgressCallback progress, void* progressContext);
