#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

// Adds a DER certificate to the current user's Root store. Only for the tests' private Wine prefix:
// on real Windows this asks the user, and the launcher itself never touches trust stores.
int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust_test_authority CERT.der\n");
        return 2;
    }
    std::vector<BYTE> der(std::istreambuf_iterator<char>(std::ifstream(argv[1], std::ios::binary).rdbuf()), {});
    // Opens the current user's store, adds the certificate unless it is there already, closes the store.
    if (!CertAddEncodedCertificateToSystemStoreW(L"Root", der.data(), static_cast<DWORD>(der.size()))) {
        std::fprintf(stderr, "CertAddEncodedCertificateToSystemStoreW failed: %lu\n", GetLastError());
        return 1;
    }
    return 0;
}
