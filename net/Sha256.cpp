#include "net/Sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <functional>
#include <vector>

#include "net/CngHandles.h"
#include "support/FileHandle.h"

namespace {

constexpr DWORD kReadBufferSize = 1048576;

bool GetDwordProperty(BCRYPT_HANDLE object, const wchar_t* name, DWORD& value) {
    ULONG written = 0;
    return BCryptGetProperty(object, name, reinterpret_cast<PUCHAR>(&value), sizeof(value), &written, 0) >= 0;
}

// Feeds the file to the hash in 1 MiB blocks; the read-only share keeps writers out meanwhile.
bool HashFileContents(BCRYPT_HASH_HANDLE hash, const std::wstring& path) {
    DWORD error = 0;
    FileHandle file = OpenFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, error);
    if (!file) {
        return false;
    }
    // No larger than the file: a small file need not pay for clearing a whole block.
    LARGE_INTEGER length{};
    DWORD bufferSize = GetFileSizeEx(file.get(), &length) && length.QuadPart < kReadBufferSize
                           ? static_cast<DWORD>(length.QuadPart) + 1
                           : kReadBufferSize;
    std::vector<unsigned char> buffer(bufferSize);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer.data(), bufferSize, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            return true;
        }
        if (BCryptHashData(hash, buffer.data(), read, 0) < 0) {
            return false;
        }
    }
}

// Runs the bytes that feed gives through a fresh SHA-256 hash; false when CNG or feed fails.
bool Digest(const std::function<bool(BCRYPT_HASH_HANDLE)>& feed, std::vector<unsigned char>& digest) {
    BCRYPT_ALG_HANDLE rawProvider = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&rawProvider, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    ProviderHandle provider(rawProvider, &CloseProvider);
    if (status < 0 || !provider) {
        return false;
    }
    DWORD objectLength = 0;
    DWORD digestLength = 0;
    if (!GetDwordProperty(provider.get(), BCRYPT_OBJECT_LENGTH, objectLength) ||
        !GetDwordProperty(provider.get(), BCRYPT_HASH_LENGTH, digestLength)) {
        return false;
    }
    std::vector<unsigned char> hashObject(objectLength);
    digest.assign(digestLength, 0);
    BCRYPT_HASH_HANDLE rawHash = nullptr;
    status = BCryptCreateHash(provider.get(), &rawHash, hashObject.empty() ? nullptr : hashObject.data(), objectLength,
                              nullptr, 0, 0);
    HashHandle hash(rawHash, &BCryptDestroyHash);
    return status >= 0 && hash && feed(hash.get()) &&
           BCryptFinishHash(hash.get(), digest.empty() ? nullptr : digest.data(), digestLength, 0) >= 0;
}

std::wstring HexText(const std::vector<unsigned char>& digest) {
    static const wchar_t kHexDigits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(digest.size() * 2);
    for (unsigned char byte : digest) {
        text.push_back(kHexDigits[byte >> 4]);
        text.push_back(kHexDigits[byte & 0x0F]);
    }
    return text;
}

bool DigestOfBytes(const std::string& bytes, std::vector<unsigned char>& digest) {
    return Digest(
        [&](BCRYPT_HASH_HANDLE hash) {
            return BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                  static_cast<ULONG>(bytes.size()), 0) >= 0;
        },
        digest);
}

}  // namespace

std::wstring Sha256OfFile(const std::wstring& path) {
    std::vector<unsigned char> digest;
    if (!Digest([&](BCRYPT_HASH_HANDLE hash) { return HashFileContents(hash, path); }, digest)) {
        return std::wstring();
    }
    return HexText(digest);
}

std::wstring Sha256HexOfBytes(const std::string& bytes) {
    std::vector<unsigned char> digest;
    return DigestOfBytes(bytes, digest) ? HexText(digest) : std::wstring();
}

bool Sha256OfBytes(const std::string& bytes, std::string& digest) {
    std::vector<unsigned char> raw;
    if (!DigestOfBytes(bytes, raw)) {
        return false;
    }
    digest.assign(raw.begin(), raw.end());
    return true;
}
