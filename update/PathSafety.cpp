#include "update/PathSafety.h"

#include "support/LauncherFiles.h"
#include "support/Paths.h"

namespace {

wchar_t AsciiUpper(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

bool IsDeviceDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || c == L'\u00B9' || c == L'\u00B2' || c == L'\u00B3';
}

// Windows compares names by upper-casing both: the dotless i and the long s become I and S.
wchar_t FoldedUpper(wchar_t c) {
    return c == L'\u0131' ? L'I' : c == L'\u017F' ? L'S' : AsciiUpper(c);
}

bool SameName(const std::wstring& element, const char* name) {
    size_t i = 0;
    for (; i < element.size() && name[i] != '\0'; ++i) {
        if (FoldedUpper(element[i]) != AsciiUpper(static_cast<wchar_t>(name[i]))) {
            return false;
        }
    }
    return i == element.size() && name[i] == '\0';
}

}  // namespace

bool IsReservedDeviceName(const std::wstring& element) {
    // Windows looks at the name before its first dot, with the blanks at its end dropped.
    std::wstring stem = element.substr(0, element.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') {
        stem.pop_back();
    }
    for (wchar_t& c : stem) {
        c = AsciiUpper(c);
    }
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" || stem == L"CONIN$" ||
        stem == L"CONOUT$") {
        return true;
    }
    return stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
           IsDeviceDigit(stem[3]);
}

bool IsSafeRelativePath(const std::wstring& relativePath) {
    if (relativePath.empty() || IsPathSeparator(relativePath.front())) {
        return false;
    }
    if (relativePath.find(L':') != std::wstring::npos) {
        return false;
    }
    // Every Windows call stops reading a name at U+0000, so "live.pak<U+0000>.download" would be the
    // live file itself. No Windows name can hold one.
    if (relativePath.find(L'\0') != std::wstring::npos) {
        return false;
    }
    // Every element as sent, also one that a later ".." cancels: the folders on the way are created
    // from the text, and a device opened by mistake takes the bytes meant for a file.
    for (size_t start = 0; start < relativePath.size();) {
        size_t end = start;
        while (end < relativePath.size() && !IsPathSeparator(relativePath[end])) {
            ++end;
        }
        if (IsReservedDeviceName(relativePath.substr(start, end - start))) {
            return false;
        }
        start = end + 1;
    }
    // Normalisation cancels every ".." that follows a name; one that is left stands at the start.
    std::wstring normal = LexicallyNormal(relativePath);
    return normal != L".." && normal.compare(0, 3, L"..\\") != 0;
}

bool IsLauncherOwnPath(const std::wstring& relativePath) {
    std::wstring normal = LexicallyNormal(relativePath);
    size_t end = 0;
    while (end < normal.size() && !IsPathSeparator(normal[end])) {
        ++end;
    }
    std::wstring first = normal.substr(0, end);
    while (!first.empty() && (first.back() == L'.' || first.back() == L' ')) {
        first.pop_back();
    }
    const std::wstring kDownload = L".download";
    bool download = first.size() > kDownload.size() &&
                    SameName(first.substr(first.size() - kDownload.size()), ".DOWNLOAD");
    std::wstring stem = download ? first.substr(0, first.size() - kDownload.size()) : first;
    if (SameName(stem, ORVANE_LAUNCHER_EXE)) {
        return true;
    }
    for (const char* own : kLauncherOwnFiles) {
        if (SameName(stem, own)) {
            return true;
        }
    }
    return false;
}
