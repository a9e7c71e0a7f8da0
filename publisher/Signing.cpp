#include "publisher/Signing.h"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <vector>

#include "update/ManifestSignature.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kCoordinateBytes = 32;
constexpr char kCurve[] = "prime256v1";

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using Signature = std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)>;

std::string Base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                 reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

// Strict: whole groups of four from the base64 alphabet, padding only at the end.
bool FromBase64(const std::string& text, std::string& bytes) {
    size_t padding = text.size() - text.find_last_not_of('=') - 1;
    if (text.empty() || text.size() % 4 != 0 || padding > 2 ||
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/") !=
            text.size() - padding) {
        return false;
    }
    bytes.assign(text.size() / 4 * 3, '\0');
    int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&bytes[0]),
                                 reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    bytes.resize(length < 0 ? 0 : static_cast<size_t>(length) - padding);
    return length >= 0;
}

bool IsP256(EVP_PKEY* key) {
    char group[32] = "";
    return key && EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, nullptr) &&
           std::strcmp(group, kCurve) == 0;
}

bool WriteNew(const fs::path& file, const std::string& bytes, mode_t mode, std::string& error) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    bool ok = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && ::fsync(fd) == 0;
    if (!ok) {
        error = "cannot write " + file.string() + ": " + std::strerror(errno) +
                (errno == EEXIST ? " (a key is never overwritten; choose another name)" : "");
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

// The launcher's form, r then s, from OpenSSL's DER and back.
std::string RawFromDer(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    Signature signature(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())), &ECDSA_SIG_free);
    std::string raw(2 * kCoordinateBytes, '\0');
    const BIGNUM *r = nullptr, *s = nullptr;
    if (!signature) {
        return std::string();
    }
    ECDSA_SIG_get0(signature.get(), &r, &s);
    unsigned char* out = reinterpret_cast<unsigned char*>(&raw[0]);
    return BN_bn2binpad(r, out, kCoordinateBytes) == kCoordinateBytes &&
                   BN_bn2binpad(s, out + kCoordinateBytes, kCoordinateBytes) == kCoordinateBytes
               ? raw
               : std::string();
}

std::string DerFromRaw(const std::string& raw) {
    const unsigned char* in = reinterpret_cast<const unsigned char*>(raw.data());
    Signature signature(ECDSA_SIG_new(), &ECDSA_SIG_free);
    BIGNUM* r = BN_bin2bn(in, kCoordinateBytes, nullptr);
    BIGNUM* s = BN_bin2bn(in + kCoordinateBytes, kCoordinateBytes, nullptr);
    if (!signature || !r || !s || !ECDSA_SIG_set0(signature.get(), r, s)) {
        BN_free(r);
        BN_free(s);
        return std::string();
    }
    unsigned char* der = nullptr;
    int length = i2d_ECDSA_SIG(signature.get(), &der);
    std::string bytes(der ? reinterpret_cast<char*>(der) : "", length > 0 ? static_cast<size_t>(length) : 0);
    OPENSSL_free(der);
    return bytes;
}

bool ScannedBytes(const std::string& text, uint64_t serial, std::string& bytes) {
    UpdateManifest manifest;
    if (!ParseManifest(text, manifest)) {
        return false;
    }
    bytes = SignedManifestBytes(manifest, serial);
    return true;
}

}  // namespace

bool MakeSigningKey(const fs::path& file, std::string& publicLine, std::string& error) {
    SigningKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), &EVP_PKEY_free);
    Bio pem(BIO_new(BIO_s_mem()), &BIO_free);
    char* data = nullptr;
    if (!key || !pem || !PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
        error = "cannot make a key";
        return false;
    }
    long length = BIO_get_mem_data(pem.get(), &data);
    publicLine = PublicLine(key.get());
    fs::path publicFile = file;
    publicFile += ".pub";
    std::error_code taken;
    for (const fs::path& name : {file, publicFile}) {
        if (fs::exists(fs::symlink_status(name, taken))) {
            error = name.string() + " exists: a key is never overwritten; choose another name";
            return false;
        }
    }
    return WriteNew(file, std::string(data, static_cast<size_t>(length)), 0600, error) &&
           WriteNew(publicFile, publicLine + "\n", 0644, error);
}

SigningKey LoadSigningKey(const fs::path& file, std::string& error) {
    Bio in(BIO_new_file(file.c_str(), "r"), &BIO_free);
    SigningKey key(in ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr, &EVP_PKEY_free);
    if (!IsP256(key.get())) {
        error = file.string() + " is not a signing key made by orvane-publish keygen";
        key.reset();
    }
    return key;
}

std::string PublicLine(EVP_PKEY* key) {
    unsigned char point[2 * kCoordinateBytes + 1];
    size_t length = 0;
    if (!EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &length) ||
        length != sizeof point || point[0] != 4) {
        return std::string();
    }
    return Base64(std::string(reinterpret_cast<char*>(point) + 1, 2 * kCoordinateBytes));
}

SigningKey LoadPublicKey(const fs::path& file, std::string& error) {
    std::ifstream in(file);
    std::string line, raw;
    std::getline(in, line);
    SigningKey key(nullptr, &EVP_PKEY_free);
    if (FromBase64(line, raw) && raw.size() == 2 * kCoordinateBytes) {
        std::string point = "\x04" + raw;
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
            EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), &EVP_PKEY_CTX_free);
        OSSL_PARAM params[] = {OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(kCurve), 0),
                               OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, &point[0], point.size()),
                               OSSL_PARAM_END};
        EVP_PKEY* made = nullptr;
        if (context && EVP_PKEY_fromdata_init(context.get()) > 0 &&
            EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_PUBLIC_KEY, params) > 0) {
            key.reset(made);
        }
    }
    if (!key) {
        error = file.string() + " is not a public key written by orvane-publish keygen (FILE.pub)";
    }
    return key;
}

std::string SignManifest(EVP_PKEY* key, const std::string& text, uint64_t serial) {
    std::string bytes;
    DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    size_t length = 0;
    if (!ScannedBytes(text, serial, bytes) || !context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) <= 0 ||
        EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size()) <= 0) {
        return std::string();
    }
    std::string der(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(&der[0]), &length,
                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) <= 0) {
        return std::string();
    }
    der.resize(length);
    std::string raw = RawFromDer(der);
    return raw.empty() ? std::string() : Base64(raw);
}

std::string SealProblem(EVP_PKEY* key, const std::string& text, uint64_t& serial) {
    std::string signatureText, raw, bytes, der;
    if (!FindManifestSeal(text, serial, signatureText)) {
        return "not signed";
    }
    DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    bool ok = FromBase64(signatureText, raw) && raw.size() == 2 * kCoordinateBytes && ScannedBytes(text, serial, bytes) &&
              !(der = DerFromRaw(raw)).empty() && context &&
              EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) > 0 &&
              EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
                               reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == 1;
    return ok ? std::string() : "its signature does not verify with the key";
}

std::string WithSeal(const std::string& text, uint64_t serial, const std::string& signature) {
    size_t files = text.find("\"files\": [");
    return text.substr(0, files) + "\"serial\": " + std::to_string(serial) + ",\n  \"signature\": \"" + signature +
           "\",\n  " + text.substr(files);
}

std::string SigningProblem(const std::vector<PublishedVersion>& history, const std::string& version,
                           const std::string& keyLine, bool switchKey) {
    const PublishedVersion* lastSigned = nullptr;
    for (const PublishedVersion& v : history) {
        lastSigned = v.serial != 0 ? &v : lastSigned;
        if (v.version == version && v.serial == 0 && !keyLine.empty()) {
            return "version " + version + " is published unsigned; to sign it, publish it under a new version label";
        }
    }
    if (!lastSigned) {
        return std::string();
    }
    // One forgotten option must not ship a version that every launcher with the team's key refuses.
    if (keyLine.empty()) {
        return "the versions here are signed (" + lastSigned->version + " with serial " +
               std::to_string(lastSigned->serial) + "): give --signing-key, or every launcher built with the team's "
               "key refuses the new manifest";
    }
    // A version recorded before keys were kept was signed by a key nobody can name now: any key may be
    // another one, which every launcher in players' hands would refuse.
    if (keyLine != lastSigned->key && !switchKey) {
        return "this key is not the one that signed " + lastSigned->version + " (" +
               (lastSigned->key.empty() ? "the history does not record which key did" : lastSigned->key) +
               "): launchers know only the keys they were built with. Give the right key, or --switch-key once a "
               "launcher built with both keys has reached players";
    }
    if (HighestSerial(history) == UINT64_MAX) {
        return "the history's serials are used up (" + std::to_string(lastSigned->serial) + "); it is damaged";
    }
    return std::string();
}

uint64_t HighestSerial(const std::vector<PublishedVersion>& history) {
    uint64_t highest = 0;
    for (const PublishedVersion& v : history) {
        highest = std::max(highest, v.serial);
    }
    return highest;
}

uint64_t NextSerial(const std::vector<PublishedVersion>& history, uint64_t now) {
    uint64_t highest = HighestSerial(history);
    return highest == UINT64_MAX ? 0 : std::max(highest + 1, now);
}

uint64_t SerialNow() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

std::string SerialAheadProblem(uint64_t serial, uint64_t now) {
    constexpr uint64_t kDay = 86400000000;
    if (serial <= now || serial - now <= kDay) {
        return std::string();
    }
    std::time_t when = static_cast<std::time_t>(serial / 1000000);
    std::tm parts{};
    gmtime_r(&when, &parts);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return "serial " + std::to_string(serial) + " is the time " + date + ", " + std::to_string((serial - now) / kDay) +
           " days ahead of this machine's clock: made on a clock that was ahead, it is one every later serial must pass "
           "(see \"Signed manifests\" in the shipping guide)";
}
