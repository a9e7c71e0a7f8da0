#include "net/ServerHost.h"

extern const wchar_t kUpdateServerHost[] = ORVANE_UPDATE_SERVER_HOST;
extern const char kManifestPublicKeys[] = ORVANE_MANIFEST_PUBLIC_KEYS;
extern const uint64_t kManifestMinimumSerial = ORVANE_MANIFEST_MINIMUM_SERIAL;
