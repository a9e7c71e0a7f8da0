// The launcher's text conversions for Linux, so the publisher reads manifests with the launcher's own
// scanner. Strict like MultiByteToWideChar with MB_ERR_INVALID_CHARS: no overlong forms, no encoded
// surrogates, nothing above U+10FFFF, no truncated sequence. wchar_t holds whole code points here.
#include "publisher/NativeTextEncoding.h"

#include "support/TextEncoding.h"

bool NextCodePoint(const std::string& utf8, size_t& i, char32_t& code) {
    static const char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    unsigned char lead = static_cast<unsigned char>(utf8[i]);
    size_t extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 4;
    if (extra == 4 || i + extra >= utf8.size()) {
        return false;
    }
    code = extra == 0 ? lead : lead & (0x7Fu >> (extra + 1));
    for (size_t k = 1; k <= extra; ++k) {
        unsigned char next = static_cast<unsigned char>(utf8[i + k]);
        if ((next & 0xC0) != 0x80) {
            return false;
        }
        code = (code << 6) | (next & 0x3Fu);
    }
    if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return false;
    }
    i += extra + 1;
    return true;
}

void AppendUtf8(std::string& utf8, char32_t code) {
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        code = 0xFFFD;
    }
    if (code < 0x80) {
        utf8.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        utf8.push_back(static_cast<char>(0xC0 | (code >> 6)));
        utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        utf8.push_back(static_cast<char>(0xE0 | (code >> 12)));
        utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        utf8.push_back(static_cast<char>(0xF0 | (code >> 18)));
        utf8.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

std::wstring Utf8ToWide(const std::string& utf8) {
    std::wstring wide;
    wide.reserve(utf8.size());
    char32_t code = 0;
    for (size_t i = 0; i < utf8.size();) {
        if (!NextCodePoint(utf8, i, code)) {
            return std::wstring();
        }
        wide.push_back(static_cast<wchar_t>(code));
    }
    return wide;
}

std::string WideToUtf8(const std::wstring& wide) {
    std::string utf8;
    utf8.reserve(wide.size());
    for (wchar_t c : wide) {
        AppendUtf8(utf8, static_cast<char32_t>(c));
    }
    return utf8;
}

std::wstring DecimalText(unsigned long long value) {
    return std::to_wstring(value);
}
