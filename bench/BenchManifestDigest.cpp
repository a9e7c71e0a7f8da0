// Parses a 100,000-entry manifest and hashes a 256 MiB file; the hash is compared with a plain
// ReadFile + BCryptHashData loop over the same file in the same run, so the ratio is our overhead.
#include <windows.h>
#include <bcrypt.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "net/Sha256.h"
#include "update/Manifest.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string BuildManifest(size_t entries) {
    std::string text = "{\n  \"version\": \"1.4.0\",\n  \"mandatory\": true,\n  \"files\": [\n";
    for (size_t i = 0; i < entries; ++i) {
        std::string name = "Content/Paks/Chunk" + std::to_string(i) + "/Orvane-WindowsClient-" + std::to_string(i);
        text += "    {\"path\": \"" + name + ".pak\", \"url\": \"/updates/blobs/" + std::string(64, 'c') +
                "\", \"sha256\": \"" + std::string(64, 'a') + "\", \"size\": " + std::to_string(1000000 + i) + "},\n";
    }
    text += "  ],\n  \"deletedFiles\": [\"old.pak\"]\n}\n";
    return text;
}

// The reference: the least a SHA-256 of a file can cost through CNG on this machine.
bool PlainHashLoop(const std::wstring& path) {
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) {
        return false;
    }
    BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<unsigned char> buffer(1 << 20);
    DWORD read = 0;
    while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read > 0) {
        BCryptHashData(hash, buffer.data(), read, 0);
    }
    unsigned char digest[32];
    BCryptFinishHash(hash, digest, sizeof(digest), 0);
    CloseHandle(file);
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(provider, 0);
    return true;
}

}  // namespace

int wmain() {
    // Half the entries as well: twice the document must cost about twice the time.
    bool accepted = true;
    double halfSeconds = 0;
    for (size_t entries : {50000, 100000}) {
        std::string manifest = BuildManifest(entries);
        double megabytes = static_cast<double>(manifest.size()) / 1e6;
        auto start = std::chrono::steady_clock::now();
        UpdateManifest parsed;
        accepted = ParseManifest(manifest, parsed) && parsed.files.size() == entries && accepted;
        double parseSeconds = Seconds(start);
        std::printf("manifest: %zu entries, %.1f MB, accepted %d, parsed in %.3f s (%.0f MB/s)", parsed.files.size(),
                    megabytes, accepted ? 1 : 0, parseSeconds, megabytes / parseSeconds);
        if (halfSeconds > 0) {
            std::printf(", time ratio to half the entries %.2f", parseSeconds / halfSeconds);
        }
        std::printf("\n");
        halfSeconds = parseSeconds;
    }

    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"orvane-bench-256mib.bin";
    {
        std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>(i * 2654435761u >> 13);
        }
        for (int i = 0; i < 256; ++i) {
            block[0] = static_cast<char>(i);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    const double mib = 256.0;
    PlainHashLoop(path);  // warm the page cache so both runs read from memory
    auto start = std::chrono::steady_clock::now();
    PlainHashLoop(path);
    double plainSeconds = Seconds(start);
    start = std::chrono::steady_clock::now();
    std::wstring digest = Sha256OfFile(path);
    double oursSeconds = Seconds(start);
    DeleteFileW(path.c_str());
    std::printf("sha256: 256 MiB, Sha256OfFile %.3f s (%.0f MiB/s), plain CNG loop %.3f s (%.0f MiB/s), ratio %.2f, "
                "digest length %zu\n",
                oursSeconds, mib / oursSeconds, plainSeconds, mib / plainSeconds, oursSeconds / plainSeconds,
                digest.size());
    return accepted && digest.size() == 64 ? 0 : 1;
}
