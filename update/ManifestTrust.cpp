#include "update/ManifestTrust.h"

#include <windows.h>

#include <sstream>

#include "net/ServerHost.h"
#include "net/Sha256.h"
#include "net/Signature.h"
#include "support/TextEncoding.h"
#include "support/UpdateLog.h"
#include "update/ManifestRecord.h"
#include "update/ManifestSignature.h"

namespace {

// The public line of the key of this launcher whose signature it is; empty when none verifies.
std::string SigningKeyOf(const std::string& bytes, const std::string& signatureText) {
    std::string signature, key;
    if (!DecodeBase64(signatureText, signature)) {
        return std::string();
    }
    std::istringstream keys(kManifestPublicKeys);
    for (std::string keyText; keys >> keyText;) {
        if (DecodeBase64(keyText, key) && VerifyP256Signature(key, bytes, signature)) {
            return keyText;
        }
    }
    return std::string();
}

bool IsKnownKey(const std::string& keyText) {
    std::istringstream keys(kManifestPublicKeys);
    for (std::string known; keys >> known;) {
        if (known == keyText) {
            return true;
        }
    }
    return false;
}

// Compares with what this installation accepted before and raises the record, all under its hold so
// that a second launcher at once can never write a lower serial after this one.
bool IsAboveRecord(const std::wstring& installFolder, const AcceptedManifest& offered) {
    DWORD holdError = 0, error = 0;
    FileHandle hold = HoldManifestRecord(installFolder, holdError);
    AcceptedManifest recorded;
    if (!ReadManifestRecord(installFolder, recorded, error)) {
        AppendLogLine(L"Manifest refused: the recorded serial cannot be read: " + DecimalText(error));
        ReleaseManifestRecord(hold);
        return false;
    }
    // A record made under a key this launcher no longer holds binds nothing: a launcher shipped after a
    // key was stolen must recover from whatever that key made players accept. One written before keys
    // were recorded cannot be told apart, so it binds.
    bool binding = recorded.serial != 0 && (recorded.key.empty() || IsKnownKey(recorded.key));
    std::wstring serial = DecimalText(offered.serial);
    if (binding && offered.serial < recorded.serial) {
        AppendLogLine(L"Manifest refused: serial " + serial + L" is lower than " + DecimalText(recorded.serial) +
                      L", accepted before.");
        ReleaseManifestRecord(hold);
        return false;
    }
    bool same = binding && offered.serial == recorded.serial;
    if (same && !recorded.digest.empty() && recorded.digest != offered.digest) {
        AppendLogLine(L"Manifest refused: serial " + serial + L" was accepted before for other contents.");
        ReleaseManifestRecord(hold);
        return false;
    }
    if (same && recorded.key == offered.key && recorded.digest == offered.digest) {
        ReleaseManifestRecord(hold);
        return true;
    }
    if (!hold || !WriteManifestRecord(hold, installFolder, offered)) {
        AppendLogLine(L"Could not record manifest serial: " + serial);
    }
    return true;
}

}  // namespace

bool IsManifestTrusted(const std::string& body, const UpdateManifest& manifest, const std::wstring& installFolder) {
    if (kManifestPublicKeys[0] == '\0') {
        return true;
    }
    AcceptedManifest offered;
    std::string signature;
    if (!FindManifestSeal(body, offered.serial, signature)) {
        AppendLogLine(L"Manifest refused: no signature.");
        return false;
    }
    std::string bytes = SignedManifestBytes(manifest, offered.serial);
    offered.key = SigningKeyOf(bytes, signature);
    if (offered.key.empty()) {
        AppendLogLine(L"Manifest refused: its signature matches no key of this launcher.");
        return false;
    }
    // Also where nothing was recorded (a new installation, a deleted record): a host must not be able
    // to send players back before the team's last rollback or security fix.
    if (offered.serial < kManifestMinimumSerial) {
        AppendLogLine(L"Manifest refused: serial " + DecimalText(offered.serial) + L" is lower than " +
                      DecimalText(kManifestMinimumSerial) + L", the lowest this launcher accepts.");
        return false;
    }
    offered.digest = WideToUtf8(Sha256HexOfBytes(bytes));
    return !offered.digest.empty() && IsAboveRecord(installFolder, offered);
}
