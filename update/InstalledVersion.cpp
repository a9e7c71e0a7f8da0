#include "update/InstalledVersion.h"

#include <windows.h>

#include <filesystem>
#include <fstream>

#include "support/Paths.h"
#include "support/LauncherFiles.h"
#include "support/TextEncoding.h"
#include "update/MoveIntoPlace.h"

namespace {

constexpr wchar_t kVersionFileName[] = L"" ORVANE_VERSION_FILE;
constexpr wchar_t kDefaultVersion[] = L"0.0.1";

}  // namespace

std::wstring ReadInstalledVersion(const std::wstring& installFolder) {
    std::ifstream file(std::filesystem::path(JoinPath(installFolder, kVersionFileName)), std::ios::binary);
    if (!file) {
        return kDefaultVersion;
    }
    std::string firstLine;
    std::getline(file, firstLine, '\n');
    std::wstring version = Utf8ToWide(firstLine);
    return version.empty() ? std::wstring(kDefaultVersion) : version;
}

bool WriteInstalledVersion(const std::wstring& installFolder, const std::wstring& version) {
    return ReplaceWholeFile(JoinPath(installFolder, kVersionFileName), WideToUtf8(version) + "\n");
}
