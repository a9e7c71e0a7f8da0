#include "update/ManifestRecord.h"

#include <vector>

#include "support/LauncherFiles.h"
#include "support/Paths.h"
#include "update/Manifest.h"

namespace {

constexpr wchar_t kRecordName[] = L"" ORVANE_SERIAL_FILE;
constexpr DWORD kHoldWaitMs = 3000;
constexpr DWORD kHoldPollMs = 20;
constexpr DWORD kLongestRecord = 512;

std::wstring RecordPath(const std::wstring& installFolder) {
    return JoinPath(installFolder, kRecordName);
}

// The NT form of the record's full path, which a rename by handle needs: Wine resolves a bare name
// against the current folder, not the file's own.
std::wstring NtPath(const std::wstring& path) {
    std::wstring full = path;
    if (!IsLiteralPath(path)) {
        std::vector<wchar_t> buffer(32768);
        DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0 || length >= buffer.size()) {
            return std::wstring();
        }
        full.assign(buffer.data(), length);
    }
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.compare(0, 4, L"\\\\.\\") == 0) {
        return L"\\??\\" + full.substr(4);
    }
    if (full.compare(0, 2, L"\\\\") == 0) {
        return L"\\??\\UNC\\" + full.substr(2);
    }
    return L"\\??\\" + full;
}

bool RenameHeldFile(HANDLE file, const std::wstring& target) {
    std::wstring name = NtPath(target);
    if (name.empty()) {
        return false;
    }
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    name.copy(info->FileName, name.size());
    return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != 0;
}

std::string Line(std::string_view& text) {
    size_t end = text.find('\n');
    std::string line(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return line;
}

}  // namespace

FileHandle HoldManifestRecord(const std::wstring& installFolder, DWORD& error) {
    // Others may read what is held, never write or hold it; delete sharing lets it be renamed over the
    // record. A hold released a moment ago may still be pending deletion (access denied meanwhile).
    std::wstring path = RecordPath(installFolder) + L".download";
    for (DWORD waited = 0;; waited += kHoldPollMs) {
        FileHandle hold = OpenFile(path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, error);
        if (hold || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || waited >= kHoldWaitMs) {
            return hold;
        }
        Sleep(kHoldPollMs);
    }
}

bool ReadManifestRecord(const std::wstring& installFolder, AcceptedManifest& record, DWORD& error) {
    record = AcceptedManifest();
    FileHandle file = OpenFile(RecordPath(installFolder), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, error);
    if (!file) {
        return error == ERROR_FILE_NOT_FOUND;
    }
    char bytes[kLongestRecord];
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes, kLongestRecord, &read, nullptr)) {
        error = GetLastError();
        return false;
    }
    // Written whole or not at all, so only a hand damages it: a damaged record counts as none.
    std::string_view text(bytes, read);
    if (!ParseDecimal(Line(text), record.serial)) {
        record = AcceptedManifest();
        return true;
    }
    record.key = Line(text);
    record.digest = Line(text);
    return true;
}

bool WriteManifestRecord(FileHandle& hold, const std::wstring& installFolder, const AcceptedManifest& record) {
    std::string text = std::to_string(record.serial) + "\n" + record.key + "\n" + record.digest + "\n";
    LARGE_INTEGER start{};
    DWORD written = 0;
    bool complete = SetFilePointerEx(hold.get(), start, nullptr, FILE_BEGIN) &&
                    WriteFile(hold.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size() && SetEndOfFile(hold.get()) && FlushFileBuffers(hold.get());
    // Windows refuses to rename over a read-only file.
    std::wstring target = RecordPath(installFolder);
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (complete && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    bool renamed = complete && RenameHeldFile(hold.get(), target);
    if (!renamed) {
        DWORD error = GetLastError();
        ReleaseManifestRecord(hold);
        SetLastError(error);
    }
    hold.reset();
    return renamed;
}

void ReleaseManifestRecord(FileHandle& hold) {
    if (hold) {
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = TRUE;
        SetFileInformationByHandle(hold.get(), FileDispositionInfo, &disposition, sizeof(disposition));
        hold.reset();
    }
}
