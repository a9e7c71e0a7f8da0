#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/TextEncoding.h"
#include "update/Manifest.h"

// Prints what the launcher reads from a manifest file, as JSON lines of plain fields:
// the version and flag, then one line per file entry, then one per obsolete path.
int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        return 2;
    }
    std::ifstream in(std::filesystem::path(argv[1]), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    UpdateManifest manifest;
    if (!ParseManifest(bytes.str(), manifest)) {
        std::puts("rejected");
        return 1;
    }
    std::printf("version\t%s\t%d\n", WideToUtf8(manifest.version).c_str(), manifest.mandatory ? 1 : 0);
    for (const ManifestFile& f : manifest.files) {
        std::printf("file\t%s\t%s\t%s\t%llu\n", WideToUtf8(f.path).c_str(), WideToUtf8(f.url).c_str(),
                    WideToUtf8(f.sha256).c_str(), static_cast<unsigned long long>(f.size));
    }
    for (const std::wstring& path : manifest.deletedFiles) {
        std::printf("deleted\t%s\n", WideToUtf8(path).c_str());
    }
    return 0;
}
