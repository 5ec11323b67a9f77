// Adds a CA certificate (PEM) to the machine's trusted roots of the Wine
// prefix, or removes it again, the way an administrator imports a print
// server's CA into "Trusted Root Certification Authorities".
//
//   import_root.exe add|remove CA.pem
// Exit status 0 on success; the reason on standard error otherwise.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3 || (std::string(argv[1]) != "add" && std::string(argv[1]) != "remove")) {
        std::fprintf(stderr, "usage: import_root add|remove CA.pem\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string pem = text.str();
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        std::fprintf(stderr, "import_root: %s holds no certificate\n", argv[2]);
        return 1;
    }
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr);

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (!store) {
        std::fprintf(stderr, "import_root: cannot open the ROOT store (%lu)\n", GetLastError());
        return 1;
    }
    BOOL ok = FALSE;
    if (std::string(argv[1]) == "add") {
        ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    } else {
        PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
        PCCERT_CONTEXT found =
            cert ? CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr) : nullptr;
        ok = found ? CertDeleteCertificateFromStore(found) : TRUE;   // nothing to remove is fine
        if (cert)
            CertFreeCertificateContext(cert);
    }
    if (!ok)
        std::fprintf(stderr, "import_root: %s failed (%lu)\n", argv[1], GetLastError());
    CertCloseStore(store, 0);
    return ok ? 0 : 1;
}
