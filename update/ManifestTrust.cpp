#include "update/ManifestTrust.h"

#include <windows.h>

#include <sstream>

#include "net/ServerHost.h"
#include "net/Signature.h"
#include "support/FileHandle.h"
#include "support/LauncherFiles.h"
#include "support/Paths.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"
#include "update/ManifestSignature.h"
#include "update/MoveIntoPlace.h"

namespace {

constexpr wchar_t kSerialFileName[] = L"" ORVANE_SERIAL_FILE;

// The highest serial accepted here before, 0 when none was recorded (a damaged record counts as
// none: it is written whole or not at all, so only a hand can damage it). False when a record is there
// but cannot be read: taken for none, the next write would lower it and let older manifests back in.
bool RecordedSerial(const std::wstring& installFolder, uint64_t& serial, DWORD& error) {
    serial = 0;
    FileHandle file = OpenFile(JoinPath(installFolder, kSerialFileName), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, error);
    if (!file) {
        return error == ERROR_FILE_NOT_FOUND;
    }
    char text[32] = {};
    DWORD read = 0;
    if (!ReadFile(file.get(), text, sizeof(text) - 1, &read, nullptr)) {
        error = GetLastError();
        return false;
    }
    std::string_view line(text, read);
    if (!ParseDecimal(line.substr(0, line.find('\n')), serial)) {
        serial = 0;
    }
    return true;
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
    uint64_t recorded = 0;
    DWORD error = 0;
    if (!RecordedSerial(installFolder, recorded, error)) {
        AppendLogLine(L"Manifest refused: the recorded serial cannot be read: " + DecimalText(error));
        return false;
    }
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
