#pragma once
#include <openssl/evp.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "publisher/Publisher.h"

// Manifest signing keys: ECDSA P-256. The private key lives in a PEM file that never goes near the
// update host; its public key travels as FILE.pub, one line of base64 of X and Y (64 bytes), the form
// the launcher's build (ManifestPublicKeys), release.sh and verify take.

using SigningKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// Makes a new key: the private key into `file` (mode 0600) and the public line into file.pub, refusing
// to overwrite either; publicLine is the line written.
bool MakeSigningKey(const std::filesystem::path& file, std::string& publicLine, std::string& error);
// Reads a private key that keygen wrote; empty with a message naming the file otherwise.
SigningKey LoadSigningKey(const std::filesystem::path& file, std::string& error);
// The public line of a private key.
std::string PublicLine(EVP_PKEY* key);
// Reads FILE.pub (its first line) into a key that can only verify.
SigningKey LoadPublicKey(const std::filesystem::path& file, std::string& error);
// The base64 signature of the key over what the launcher's scanner reads of the manifest text, with
// that serial; empty when the text does not scan or signing fails.
std::string SignManifest(EVP_PKEY* key, const std::string& text, uint64_t serial);
// The manifest text with its serial and signature written in before the file list, where no name of
// a file can stand before them.
std::string WithSeal(const std::string& text, uint64_t serial, const std::string& signature);
// Empty when the manifest carries a serial and a signature by the key over what the scanner reads of
// it (serial is then set); else what is wrong.
std::string SealProblem(EVP_PKEY* key, const std::string& text, uint64_t& serial);
// Empty when a version may be served with the key whose public line is given (empty: no key); else
// why not. Once a version is signed, none goes out unsigned, the same label is never signed after the
// fact, and the key changes only when switchKey says the launchers in players' hands know the new one.
std::string SigningProblem(const std::vector<PublishedVersion>& history, const std::string& version,
                           const std::string& keyLine, bool switchKey);
// Above every recorded serial and not below now (the time in microseconds, where publishes never
// follow each other closer), so that a history restored from an old backup cannot hand out serials
// that launchers have already seen; 0 when none is left.
uint64_t NextSerial(const std::vector<PublishedVersion>& history, uint64_t now);
// The highest serial recorded; 0 when nothing was signed.
uint64_t HighestSerial(const std::vector<PublishedVersion>& history);
// The time now in microseconds, which serials never fall below.
uint64_t SerialNow();
// Empty unless the serial lies more than a day past the time now (a publish on a clock that was ahead:
// every later serial must pass it, and launchers refuse whatever does not); else what to tell the team.
std::string SerialAheadProblem(uint64_t serial, uint64_t now);
