#include "support/PathJoin.h"

#include <filesystem>

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

size_t LastElementStart(const std::wstring& path) {
    size_t rootLength = std::filesystem::path(path).root_name().native().size();
    size_t start = path.size();
    while (start > rootLength && !IsPathSeparator(path[start - 1])) {
        --start;
    }
    return start;
}
