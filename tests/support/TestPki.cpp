#include "support/TestPki.h"

#include <atomic>
#include <cstdio>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdexcept>

namespace {

PKeyPtr NewKey() {
    PKeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        throw std::runtime_error("EVP_EC_gen failed");
    }
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr) {
        throw std::runtime_error("bad extension " + value);
    }
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

X509Ptr NewCert(EVP_PKEY* key, const std::string& commonName, const TestValidity& validity,
                TestSubject subject = TestSubject::WithOrganisation) {
    static std::atomic<long> serial{1};
    X509Ptr cert(X509_new());
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    if (ASN1_TIME_set_string_X509(X509_getm_notBefore(cert.get()), validity.notBefore.c_str()) !=
            1 ||
        ASN1_TIME_set_string_X509(X509_getm_notAfter(cert.get()), validity.notAfter.c_str()) != 1) {
        throw std::runtime_error("bad validity");
    }
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (subject == TestSubject::WithOrganisation) {
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("mailgate test"), -1, -1,
                                   0);
    }
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    return cert;
}

// Signs `out` as a server certificate of `issuer` with `issuerKey`.
void SignAsServer(TestCertificate& out, X509* issuer, EVP_PKEY* issuerKey,
                  const std::string& altNames) {
    X509* cert = out.cert.get();
    X509_set_issuer_name(cert, X509_get_subject_name(issuer));
    AddExtension(cert, issuer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert, issuer, NID_ext_key_usage, "serverAuth");
    if (!altNames.empty()) {
        AddExtension(cert, issuer, NID_subject_alt_name, altNames);
    }
    X509_sign(cert, issuerKey, EVP_sha256());
}

} // namespace

TestCa::TestCa() {
    ca_.key = NewKey();
    ca_.cert = NewCert(ca_.key.get(), "mailgate test CA", {});
    X509_set_issuer_name(ca_.cert.get(), X509_get_subject_name(ca_.cert.get()));
    AddExtension(ca_.cert.get(), ca_.cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(ca_.cert.get(), ca_.cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(ca_.cert.get(), ca_.cert.get(), NID_subject_key_identifier, "hash");
    X509_sign(ca_.cert.get(), ca_.key.get(), EVP_sha256());
}

TestCertificate TestCa::Issue(const std::string& commonName, const std::string& altNames,
                              const TestValidity& validity) const {
    TestCertificate out;
    out.key = NewKey();
    out.cert = NewCert(out.key.get(), commonName, validity);
    SignAsServer(out, ca_.cert.get(), ca_.key.get(), altNames);
    return out;
}

std::string TestCa::Pem() const {
    return TestPem(ca_.cert.get());
}

TestCertificate SelfSigned(const std::string& commonName, const std::string& altNames,
                           const TestValidity& validity, TestSubject subject) {
    TestCertificate out;
    out.key = NewKey();
    out.cert = NewCert(out.key.get(), commonName, validity, subject);
    SignAsServer(out, out.cert.get(), out.key.get(), altNames);
    return out;
}

std::string TestPem(const X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return pem;
}

std::string TestFingerprint(const X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    X509_digest(cert, EVP_sha256(), md, &size);
    std::string text;
    char pair[4];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", md[i]);
        text += pair;
    }
    return text;
}
