#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <filesystem>
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
    std::ifstream file(std::filesystem::path(argv[1]), std::ios::binary);
    std::vector<unsigned char> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!store) {
        std::fprintf(stderr, "CertOpenStore failed: %lu\n", GetLastError());
        return 1;
    }
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        std::fprintf(stderr, "CertAddEncodedCertificateToStore failed: %lu\n", error);
        return 1;
    }
    return 0;
}
