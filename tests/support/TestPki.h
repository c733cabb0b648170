#pragma once
// Certificates made in memory for the TLS tests: a throwaway certificate
// authority, certificates it issues or that sign themselves, and the forms
// the tests compare them in (PEM, SHA-256 fingerprint). Each maker raises
// std::runtime_error when OpenSSL refuses a step.
#include <memory>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <string>

#include "support/TempDir.h"

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct PKeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;

struct TestCertificate {
    PKeyPtr key;
    X509Ptr cert;
};

// Validity as ASN.1 times: "YYYYMMDDhhmmssZ".
struct TestValidity {
    std::string notBefore = "20200101000000Z";
    std::string notAfter = "20991231235959Z";
};

class TestCa {
public:
    TestCa(); // an EC P-256 CA, "CN=mailgate test CA,O=mailgate test"
    // A server certificate signed by this CA, "CN=<commonName>,O=mailgate
    // test"; altNames in OpenSSL's form ("DNS:localhost,IP:127.0.0.1"), empty
    // for none.
    TestCertificate Issue(const std::string& commonName, const std::string& altNames,
                          const TestValidity& validity = {}) const;
    // The CA certificate as PEM, for a CaFile.
    std::string Pem() const;
    X509* Cert() const { return ca_.cert.get(); }

private:
    TestCertificate ca_;
};

// What a self-signed certificate's subject (and so its issuer) names.
enum class TestSubject {
    WithOrganisation, // "CN=<commonName>,O=mailgate test", as the CA's certificates
    NameOnly,         // "CN=<commonName>"
};

// A server certificate signed by its own key.
TestCertificate SelfSigned(const std::string& commonName, const std::string& altNames,
                           const TestValidity& validity = {},
                           TestSubject subject = TestSubject::WithOrganisation);
// `cert` as PEM.
std::string TestPem(const X509* cert);
// Its SHA-256 fingerprint as "AB:CD:...", computed here for comparison.
std::string TestFingerprint(const X509* cert);

// A CA, a server certificate for localhost and 127.0.0.1, and the CA as a
// CaFile.
struct TestPki {
    TestCa ca;
    TestCertificate server = ca.Issue("localhost", "DNS:localhost,IP:127.0.0.1");
    TempDir dir;
    std::string caFile;
    TestPki() {
        dir.Write("ca.pem", ca.Pem());
        caFile = dir.File("ca.pem");
    }
};
