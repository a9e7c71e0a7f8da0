#include "update/InstalledVersion.h"

#include <windows.h>

#include <filesystem>
#include <fstream>

#include "support/FileSystem.h"
#include "support/LauncherFiles.h"
#include "support/Paths.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"
#include "update/MoveIntoPlace.h"

namespace {

constexpr wchar_t kVersionFileName[] = L"" ORVANE_VERSION_FILE;
constexpr wchar_t kPendingFileName[] = L"" ORVANE_PENDING_FILE;
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

bool IsUpdatePending(const std::wstring& installFolder) {
    FileFacts facts;
    DWORD error = 0;
    if (QueryFileFacts(JoinPath(installFolder, kPendingFileName), facts, error)) {
        return !facts.folder;
    }
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

void RecordPendingUpdate(PendingUpdate& pending) {
    if (pending.recorded) {
        return;
    }
    pending.recorded = true;
    if (!ReplaceWholeFile(JoinPath(pending.installFolder, kPendingFileName), WideToUtf8(pending.version) + "\n")) {
        AppendLogLine(L"Could not record the update in progress: " + DecimalText(GetLastError()));
    }
}

void ClearPendingUpdate(const std::wstring& installFolder) {
    DeleteFileW(JoinPath(installFolder, kPendingFileName).c_str());
}
