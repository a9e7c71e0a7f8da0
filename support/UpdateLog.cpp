#include "support/UpdateLog.h"

#include <windows.h>

#include <memory>

#include "support/FileHandle.h"
#include "support/PathJoin.h"
#include "support/TextEncoding.h"

namespace {

// Only the worker thread touches it, one session at a time.
std::wstring logPath;

// Other processes (a player's text editor, support tools) may read or even write the log meanwhile.
HANDLE OpenLog(DWORD access, DWORD disposition) {
    return CreateFileW(logPath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

void StartLog(const std::wstring& installFolder) {
    logPath = JoinPath(installFolder, L"launcher-update.log");
    HANDLE raw = OpenLog(GENERIC_WRITE, CREATE_ALWAYS);
    if (raw != INVALID_HANDLE_VALUE) {
        CloseHandle(raw);
    }
}

void AppendLogLine(const std::wstring& line) {
    if (logPath.empty()) {
        return;
    }
    // Append-only access makes each write land at the end even if someone else wrote meanwhile.
    HANDLE raw = OpenLog(FILE_APPEND_DATA, OPEN_ALWAYS);
    if (raw == INVALID_HANDLE_VALUE) {
        return;
    }
    FileHandle file(raw, &CloseHandle);
    std::string bytes = WideToUtf8(line);
    bytes.push_back('\n');
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
