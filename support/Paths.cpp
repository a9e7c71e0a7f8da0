#include "support/Paths.h"

#include <vector>

namespace {

// Past the run of separators starting at i.
size_t SkipSeparators(const std::wstring& path, size_t i) {
    while (i < path.size() && IsPathSeparator(path[i])) {
        ++i;
    }
    return i;
}

// Past the element starting at i.
size_t SkipElement(const std::wstring& path, size_t i) {
    while (i < path.size() && !IsPathSeparator(path[i])) {
        ++i;
    }
    return i;
}

bool StartsWithPrefix(const std::wstring& path, wchar_t marker) {
    return path.size() >= 4 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]) && path[2] == marker &&
           IsPathSeparator(path[3]);
}

bool IsUncMarker(const std::wstring& path, size_t at) {
    return path.size() >= at + 4 && (path[at] == L'U' || path[at] == L'u') && (path[at + 1] == L'N' || path[at + 1] == L'n') &&
           (path[at + 2] == L'C' || path[at + 2] == L'c') && IsPathSeparator(path[at + 3]);
}

// "server\share" starting at i: past the share name.
size_t SkipServerAndShare(const std::wstring& path, size_t i) {
    size_t end = SkipElement(path, i);
    if (end < path.size()) {
        end = SkipElement(path, end + 1);
    }
    return end;
}

}  // namespace

bool IsPathSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty()) {
        return name;
    }
    if (IsPathSeparator(folder.back())) {
        return folder + name;
    }
    return folder + L'\\' + name;
}

size_t RootNameLength(const std::wstring& path) {
    if (IsLiteralPath(path)) {
        if (IsUncMarker(path, 4)) {
            return SkipServerAndShare(path, 8);
        }
        return SkipElement(path, 4);
    }
    if (path.size() >= 2 && path[1] == L':') {
        return 2;
    }
    if (path.size() >= 3 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]) && !IsPathSeparator(path[2])) {
        return SkipServerAndShare(path, 2);
    }
    return 0;
}

bool IsLiteralPath(const std::wstring& path) {
    return StartsWithPrefix(path, L'?') || StartsWithPrefix(path, L'.');
}

size_t LastElementStart(const std::wstring& path) {
    size_t rootLength = RootNameLength(path);
    size_t start = path.size();
    while (start > rootLength && !IsPathSeparator(path[start - 1])) {
        --start;
    }
    return start;
}

std::wstring ParentFolder(const std::wstring& path) {
    size_t rootLength = SkipSeparators(path, RootNameLength(path));
    size_t end = LastElementStart(path);
    while (end > rootLength && IsPathSeparator(path[end - 1])) {
        --end;
    }
    return path.substr(0, end);
}

std::wstring LexicallyNormal(const std::wstring& path) {
    size_t rootLength = RootNameLength(path);
    std::wstring result = path.substr(0, rootLength);
    for (wchar_t& c : result) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    bool rootDirectory = rootLength < path.size() && IsPathSeparator(path[rootLength]);
    if (rootDirectory) {
        result += L'\\';
    }
    // Elements in order; an empty last element stands for a trailing separator.
    std::vector<std::wstring> kept;
    size_t i = SkipSeparators(path, rootLength);
    while (i < path.size()) {
        size_t end = SkipElement(path, i);
        std::wstring element = path.substr(i, end - i);
        // Nothing but separators follow this element.
        bool lastElement = SkipSeparators(path, end) == path.size();
        bool named = !kept.empty() && kept.back() != L"..";
        if (element == L"..") {
            if (named) {
                kept.pop_back();
            } else if (!(rootDirectory && kept.empty())) {
                kept.push_back(element);
            }
        } else if (element != L".") {
            kept.push_back(element);
        }
        // A trailing separator stays after a name, also when the elements after it were cancelled
        // or dropped; never after "..".
        bool trailing = lastElement && (end < path.size() || element == L"." || element == L"..");
        if (trailing && !kept.empty() && kept.back() != L"..") {
            kept.emplace_back();
        }
        i = SkipSeparators(path, end);
    }
    for (size_t k = 0; k < kept.size(); ++k) {
        result += (k ? L"\\" : L"") + kept[k];
    }
    return result.empty() ? L"." : result;
}
