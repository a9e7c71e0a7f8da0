#include "launcher/GameLaunch.h"

#include <windows.h>

#include <vector>

namespace {

constexpr DWORD kModulePathCapacity = 32768;
// Everything after the executable's path is fixed when the launcher is built.
constexpr wchar_t kGameArguments[] = L" " ORVANE_GAME_SERVER_ADDRESS L":7777"
                                     L" -ini:Game:[/Script/Orvane.OrvaneAccountSubsystem]:ApiBaseUrl="
                                     ORVANE_ACCOUNT_SERVICE_BASE_URL;

}  // namespace

std::wstring GetLauncherFolder() {
    std::vector<wchar_t> buffer(kModulePathCapacity, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kModulePathCapacity);
    if (length == 0 || length >= kModulePathCapacity) {
        return std::wstring();
    }
    std::wstring path(buffer.data(), length);
    size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) {
        return std::wstring();
    }
    return path.substr(0, separator);
}

std::wstring GameCommandLine(const std::wstring& gameExePath) {
    return L"\"" + gameExePath + L"\"" + kGameArguments;
}

bool LaunchGame(std::wstring& errorText) {
    std::wstring folder = GetLauncherFolder();
    if (folder.empty()) {
        errorText = L"Не удалось определить папку лаунчера.";
        return false;
    }
    std::wstring gamePath = folder + L"\\Orvane.exe";
    if (GetFileAttributesW(gamePath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        errorText = L"Orvane.exe не найден рядом с лаунчером. Поместите лаунчер в папку игры.";
        return false;
    }
    std::wstring commandLine = GameCommandLine(gamePath);
    // CreateProcessW may write into its command line.
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(gamePath.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                        &startup, &process)) {
        DWORD error = GetLastError();
        errorText = L"Не удалось запустить игру: " + WindowsErrorText(error);
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::wstring WindowsErrorText(unsigned long errorCode) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, errorCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length > 0 ? std::wstring(buffer, length) : std::wstring(L"Неизвестная ошибка Windows");
    if (buffer) {
        LocalFree(buffer);
    }
    return text;
}
