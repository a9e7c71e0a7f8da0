#include "update/Manifest.h"

#include "support/TextEncoding.h"

// Every search works on views into the one document, so the scan is linear in its size:
// no entry copies the rest of the document.

namespace {

constexpr size_t kNone = std::string_view::npos;

std::string QuotedKey(std::string_view key) {
    std::string quoted;
    quoted.reserve(key.size() + 2);
    quoted.push_back('"');
    quoted.append(key);
    quoted.push_back('"');
    return quoted;
}

std::wstring WideValue(std::string_view text, std::string_view key) {
    return Utf8ToWide(FindStringValue(text, key));
}

// Reads the entry from '{' through its first '}'; false when a required value is missing or unusable.
bool ParseFileEntry(std::string_view entry, ManifestFile& file) {
    file.path = WideValue(entry, "path");
    file.url = WideValue(entry, "url");
    file.sha256 = WideValue(entry, "sha256");
    if (file.path.empty() || file.url.empty() || file.sha256.size() != 64) {
        return false;
    }
    return FindUnsignedValue(entry, "size", file.size);
}

// The first '[' at or after `from` and the first ']' after it, whatever lies between; false when
// either is missing.
bool FindArray(std::string_view text, size_t from, size_t& open, size_t& close) {
    open = text.find('[', from);
    if (open == kNone) {
        return false;
    }
    close = text.find(']', open + 1);
    return close != kNone;
}

bool ParseFileList(std::string_view text, UpdateManifest& manifest) {
    size_t key = text.find("\"files\"");
    if (key == kNone) {
        key = text.find("\"patches\"");
    }
    size_t open = 0;
    size_t close = 0;
    if (key == kNone || !FindArray(text, key, open, close)) {
        return false;
    }
    size_t p = open + 1;
    while (p < close) {
        size_t begin = text.find('{', p);
        if (begin == kNone || begin >= close) {
            break;
        }
        size_t end = text.find('}', begin);
        if (end == kNone || end > close) {
            return false;
        }
        ManifestFile file;
        if (!ParseFileEntry(text.substr(begin, end - begin + 1), file)) {
            return false;
        }
        manifest.files.push_back(std::move(file));
        p = end + 1;
    }
    return true;
}

bool ParseDeletedFiles(std::string_view text, UpdateManifest& manifest) {
    size_t key = text.find("\"deletedFiles\"");
    if (key == kNone) {
        return true;
    }
    size_t open = 0;
    size_t close = 0;
    if (!FindArray(text, key, open, close)) {
        return false;
    }
    size_t p = open + 1;
    while (p < close) {
        size_t quote = text.find('"', p);
        if (quote == kNone || quote >= close) {
            return true;
        }
        size_t closing = text.find('"', quote + 1);
        if (closing == kNone || closing > close) {
            return false;
        }
        std::wstring path = Utf8ToWide(std::string(text.substr(quote + 1, closing - quote - 1)));
        if (path.empty()) {
            return false;
        }
        manifest.deletedFiles.push_back(std::move(path));
        p = closing + 1;
    }
    return true;
}

}  // namespace

std::string FindStringValue(std::string_view text, std::string_view key) {
    size_t at = text.find(QuotedKey(key));
    if (at == kNone) {
        return std::string();
    }
    size_t colon = text.find(':', at);
    if (colon == kNone) {
        return std::string();
    }
    size_t open = text.find('"', colon);
    if (open == kNone) {
        return std::string();
    }
    size_t close = text.find('"', open + 1);
    if (close == kNone) {
        return std::string();
    }
    return std::string(text.substr(open + 1, close - open - 1));
}

bool FindUnsignedValue(std::string_view text, std::string_view key, uint64_t& value) {
    value = 0;
    size_t at = text.find(QuotedKey(key));
    if (at == kNone) {
        return true;
    }
    size_t colon = text.find(':', at);
    if (colon == kNone || colon + 1 >= text.size()) {
        return true;
    }
    size_t digit = text.find_first_of("0123456789", colon + 1);
    if (digit == kNone) {
        return true;
    }
    size_t end = text.find_first_not_of("0123456789", digit);
    // A size that does not fit cannot describe a real file; wrapping would make it look like one.
    return ParseDecimal(text.substr(digit, end == kNone ? kNone : end - digit), value);
}

bool ParseDecimal(std::string_view digits, uint64_t& value) {
    uint64_t number = 0;
    for (char c : digits) {
        uint64_t d = static_cast<uint64_t>(c - '0');
        if (c < '0' || c > '9' || number > (UINT64_MAX - d) / 10) {
            return false;
        }
        number = number * 10 + d;
    }
    value = number;
    return !digits.empty();
}

bool ParseManifest(std::string_view text, UpdateManifest& manifest) {
    manifest.version = WideValue(text, "version");
    manifest.mandatory = text.find("\"mandatory\": true") != kNone || text.find("\"mandatory\":true") != kNone;
    if (manifest.version.empty()) {
        return false;
    }
    if (!ParseFileList(text, manifest)) {
        return false;
    }
    return ParseDeletedFiles(text, manifest);
}
