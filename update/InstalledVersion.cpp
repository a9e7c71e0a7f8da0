#include "update/InstalledVersion.h"

#include <windows.h>

#include <filesystem>
#include <fstream>

#include "support/FileHandle.h"
#include "support/Paths.h"
#include "support/TextEncoding.h"
#include "update/MoveIntoPlace.h"

namespace {

constexpr wchar_t kVersionFileName[] = L"launcher-version.txt";
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
    std::wstring finalPath = JoinPath(installFolder, kVersionFileName);
    std::wstring temporaryPath = finalPath + L".download";
    DWORD error = 0;
    FileHandle file = OpenFile(temporaryPath, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, error);
    if (!file) {
        return false;
    }
    std::string bytes = WideToUtf8(version);
    bytes.push_back('\n');
    DWORD written = 0;
    // A short write (disk full) must not replace a good version file with a truncated one, and the
    // flush keeps a power cut after the move from leaving an empty file under the real name.
    bool complete = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size() && FlushFileBuffers(file.get());
    file.reset();
    if (!complete) {
        return false;
    }
    return MoveIntoPlace(temporaryPath, finalPath);
}
