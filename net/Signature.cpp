#include "net/Signature.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <vector>

#include "net/CngHandles.h"
#include "net/Sha256.h"

namespace {

constexpr ULONG kCoordinateBytes = 32;

}  // namespace

bool DecodeBase64(const std::string& text, std::string& bytes) {
    DWORD size = 0;
    if (text.empty() || !CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                                              nullptr, &size, nullptr, nullptr)) {
        return false;
    }
    std::vector<BYTE> buffer(size);
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, buffer.data(), &size,
                              nullptr, nullptr)) {
        return false;
    }
    bytes.assign(buffer.begin(), buffer.begin() + size);
    return true;
}

bool VerifyP256Signature(const std::string& publicKey, const std::string& message, const std::string& signature) {
    std::string digest;
    if (publicKey.size() != 2 * kCoordinateBytes || signature.size() != 2 * kCoordinateBytes ||
        !Sha256OfBytes(message, digest)) {
        return false;
    }
    BCRYPT_ALG_HANDLE rawProvider = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&rawProvider, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    ProviderHandle provider(rawProvider, &CloseProvider);
    if (status < 0) {
        return false;
    }
    // The public blob is the header followed by X and Y.
    std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + publicKey.size());
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinateBytes};
    memcpy(blob.data(), &header, sizeof(header));
    memcpy(blob.data() + sizeof(header), publicKey.data(), publicKey.size());
    BCRYPT_KEY_HANDLE rawKey = nullptr;
    status = BCryptImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &rawKey, blob.data(),
                                 static_cast<ULONG>(blob.size()), 0);
    KeyHandle key(rawKey, &BCryptDestroyKey);
    if (status < 0) {
        return false;
    }
    std::vector<unsigned char> rs(signature.begin(), signature.end());
    return BCryptVerifySignature(key.get(), nullptr, reinterpret_cast<PUCHAR>(&digest[0]), static_cast<ULONG>(digest.size()), rs.data(),
                                 static_cast<ULONG>(rs.size()), 0) == 0;
}
