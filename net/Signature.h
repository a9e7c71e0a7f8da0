#pragma once
#include <string>

// Standard base64 (with padding) into bytes; false when the text is not base64.
bool DecodeBase64(const std::string& text, std::string& bytes);
// True when signature (64 bytes, r then s) is an ECDSA P-256 signature by publicKey (64 bytes, X then
// Y) over the SHA-256 of message.
bool VerifyP256Signature(const std::string& publicKey, const std::string& message, const std::string& signature);
