#include "update/OwnFiles.h"

#include <vector>

#include "support/FileHandle.h"
#include "support/Paths.h"
#include "update/PathSafety.h"

namespace {

// The running program's own name: Windows refuses to delete it, Wine does not. Asked once: every
// file of an update is checked against it.
const std::wstring& ProgramName() {
    static const std::wstring name = [] {
        std::vector<wchar_t> buffer(32768);
        DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        std::wstring path(buffer.data(), length < buffer.size() ? length : 0);
        return path.substr(LastElementStart(path));
    }();
    return name;
}

// One of the launcher's own names, or the name the running program has (Windows keeps blanks and dots at
// the end of neither).
bool IsOwnName(const std::wstring& relativePath, const std::wstring& program) {
    std::wstring name = LexicallyNormal(relativePath);
    while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) {
        name.pop_back();
    }
    return IsLauncherOwnPath(relativePath) ||
           (!program.empty() && CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), program.c_str(),
                                                     static_cast<int>(program.size()), TRUE) == CSTR_EQUAL);
}

}  // namespace

std::wstring FinalPath(HANDLE handle) {
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    }
    return length == 0 || length >= buffer.size() ? std::wstring() : std::wstring(buffer.data(), length);
}

bool IsLauncherFile(const std::wstring& relativePath) {
    return IsOwnName(relativePath, ProgramName());
}

bool ReachesOwnFile(const std::wstring& installFolder, const std::wstring& reached) {
    // The name first: for almost every file it settles the question without opening the game folder.
    if (!IsOwnName(reached.substr(LastElementStart(reached)), ProgramName())) {
        return false;
    }
    DWORD error = 0;
    FileHandle folder = OpenFile(installFolder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, error);
    std::wstring folderPath = folder ? FinalPath(folder.get()) : std::wstring();
    std::wstring parent = ParentFolder(reached);
    return !folderPath.empty() && CompareStringOrdinal(parent.c_str(), static_cast<int>(parent.size()), folderPath.c_str(),
                                                       static_cast<int>(folderPath.size()), TRUE) == CSTR_EQUAL;
}

bool LeadsToOwnFile(const std::wstring& installFolder, const std::wstring& path, bool& exists) {
    DWORD error = 0;
    FileHandle file = OpenFile(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, error);
    exists = static_cast<bool>(file);
    std::wstring reached = file ? FinalPath(file.get()) : std::wstring();
    return !reached.empty() && ReachesOwnFile(installFolder, reached);
}
