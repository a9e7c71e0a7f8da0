#include "support/UpdateLog.h"

#include <windows.h>

#include "support/FileHandle.h"
#include "support/LauncherFiles.h"
#include "support/Paths.h"
#include "support/TextEncoding.h"

namespace {

// Only the worker thread touches it, one session at a time. Deliberately never freed: closing the
// window returns from the entry point and the runtime destroys globals while the worker, never
// joined, may still be logging; a destroyed string would send its lines to a file of garbage name.
std::wstring& logPath = *new std::wstring();

// Other processes (a player's text editor, support tools) may read or even write the log meanwhile.
FileHandle OpenLog(DWORD access, DWORD disposition) {
    DWORD error = 0;
    return OpenFile(logPath, access, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, FILE_ATTRIBUTE_NORMAL, error);
}

}  // namespace

void StartLog(const std::wstring& installFolder) {
    logPath = JoinPath(installFolder, L"" ORVANE_LOG_FILE);
    OpenLog(GENERIC_WRITE, CREATE_ALWAYS);
}

void AppendLogLine(const std::wstring& line) {
    if (logPath.empty()) {
        return;
    }
    // Append-only access makes each write land at the end even if someone else wrote meanwhile.
    FileHandle file = OpenLog(FILE_APPEND_DATA, OPEN_ALWAYS);
    if (!file) {
        return;
    }
    std::string bytes = WideToUtf8(line);
    bytes.push_back('\n');
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
