#pragma once
#include <string>

#include "update/Manifest.h"

// True when the launcher may act on the parsed manifest. A launcher built without manifest keys trusts
// the server's TLS alone and reads or writes nothing here. With keys, the manifest must carry a
// signature by one of them over what was parsed, and a serial not lower than the highest this
// installation accepted before, which is then recorded; each refusal writes one log line.
bool IsManifestTrusted(const std::string& body, const UpdateManifest& manifest, const std::wstring& installFolder);
