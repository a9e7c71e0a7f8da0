#pragma once
#include <cstdint>

// Host name of the update server, fixed when the program is linked (see CMake's UpdateServerHost).
extern const wchar_t kUpdateServerHost[];
// The ECDSA P-256 public keys whose signature a manifest from that server must carry, each the base64
// of its 64-byte X and Y, separated by blanks; empty when manifests are not signed (ManifestPublicKeys).
extern const char kManifestPublicKeys[];
// The lowest serial a signed manifest may carry, whatever this installation recorded (ManifestMinimumSerial).
extern const uint64_t kManifestMinimumSerial;
