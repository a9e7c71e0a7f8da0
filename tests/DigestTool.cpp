#include <cstdio>

#include "net/Sha256.h"
#include "support/TextEncoding.h"

// Prints the digest of each named file, one per line; an unreadable file prints an empty line.
int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        std::printf("%s\n", WideToUtf8(Sha256OfFile(argv[i])).c_str());
    }
    return 0;
}
