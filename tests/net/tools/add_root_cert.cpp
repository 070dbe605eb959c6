// Trusts a test certificate authority inside the Wine prefix it runs in:
// adds the DER certificate named on the command line to the local machine's
// Root store. The host's own trust store is never touched.
#include <windows.h>
#include <wincrypt.h>

#include <stdio.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: add_root_cert CERT.der\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "add_root_cert: cannot open %ls\n", argv[1]);
        return 1;
    }
    BYTE der[16384];
    DWORD len = 0;
    BOOL read_ok = ReadFile(file, der, sizeof der, &len, nullptr);
    CloseHandle(file);
    if (!read_ok || len == 0 || len == sizeof der) {
        fprintf(stderr, "add_root_cert: %ls is not a certificate of up to 16 KiB\n", argv[1]);
        return 1;
    }

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) {
        fprintf(stderr, "add_root_cert: cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, len,
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        fprintf(stderr, "add_root_cert: the certificate was refused (%lu)\n", error);
        return 1;
    }
    return 0;
}
