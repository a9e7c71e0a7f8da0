#include "support/PathJoin.h"

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
