#include "update/ManifestTrust.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "net/ServerHost.h"
#include "net/Signature.h"
#include "support/Paths.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"
#include "update/ManifestSignature.h"
#include "update/MoveIntoPlace.h"

namespace {

constexpr wchar_t kSerialFileName[] = L"launcher-manifest-serial.txt";

// The highest serial accepted here before; 0 when none was recorded or the record is unreadable (a
// damaged record must not lock a player out of every update).
uint64_t RecordedSerial(const std::wstring& installFolder) {
    std::ifstream file(std::filesystem::path(JoinPath(installFolder, kSerialFileName)), std::ios::binary);
    std::string line;
    std::getline(file, line, '\n');
    uint64_t serial = 0;
    for (char c : line) {
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (c < '0' || c > '9' || serial > (UINT64_MAX - digit) / 10) {
            return 0;
        }
        serial = serial * 10 + digit;
    }
    return serial;
}

bool SignedByKnownKey(const std::string& bytes, const std::string& signatureText) {
    std::string signature, key;
    if (!DecodeBase64(signatureText, signature)) {
        return false;
    }
    std::istringstream keys(kManifestPublicKeys);
    for (std::string keyText; keys >> keyText;) {
        if (DecodeBase64(keyText, key) && VerifyP256Signature(key, bytes, signature)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool IsManifestTrusted(const std::string& body, const UpdateManifest& manifest, const std::wstring& installFolder) {
    if (kManifestPublicKeys[0] == '\0') {
        return true;
    }
    uint64_t serial = 0;
    std::string signature;
    if (!FindManifestSeal(body, serial, signature)) {
        AppendLogLine(L"Manifest refused: no signature.");
        return false;
    }
    if (!SignedByKnownKey(SignedManifestBytes(manifest, serial), signature)) {
        AppendLogLine(L"Manifest refused: its signature matches no key of this launcher.");
        return false;
    }
    // A host replaying an older, genuinely signed manifest would take players back to an old build.
    uint64_t recorded = RecordedSerial(installFolder);
    if (serial < recorded) {
        AppendLogLine(L"Manifest refused: serial " + DecimalText(serial) + L" is lower than " + DecimalText(recorded) +
                      L", accepted before.");
        return false;
    }
    if (serial > recorded && !ReplaceWholeFile(JoinPath(installFolder, kSerialFileName), std::to_string(serial) + "\n")) {
        AppendLogLine(L"Could not record manifest serial: " + DecimalText(serial));
    }
    return true;
}
