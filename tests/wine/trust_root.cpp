// Adds a CA certificate (DER) to the trusted roots of the machine it runs on,
// or removes it again: how the Windows lane trusts its test CA inside its own
// Wine prefix, the way an administrator would on a real machine.
//   trust-root add|remove CA.der
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
    const bool add = argc == 3 && std::strcmp(argv[1], "add") == 0;
    if (argc != 3 || (!add && std::strcmp(argv[1], "remove") != 0)) {
        std::fprintf(stderr, "usage: trust-root add|remove CA.der\n");
        return 2;
    }
    std::vector<unsigned char> der;
    if (std::FILE* file = std::fopen(argv[2], "rb")) {
        for (int c; (c = std::fgetc(file)) != EOF;) der.push_back(static_cast<unsigned char>(c));
        std::fclose(file);
    }
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    PCCERT_CONTEXT certificate =
        der.empty() ? nullptr
                    : CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    bool done = false;
    if (root && certificate && add) {
        done = CertAddCertificateContextToStore(root, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    } else if (root && certificate) {
        PCCERT_CONTEXT stored =
            CertFindCertificateInStore(root, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
        done = stored && CertDeleteCertificateFromStore(stored);  // frees stored
    }
    if (certificate) CertFreeCertificateContext(certificate);
    if (root) CertCloseStore(root, 0);
    if (!done) std::fprintf(stderr, "trust-root: %s failed for %s\n", argv[1], argv[2]);
    return done ? 0 : 1;
}
