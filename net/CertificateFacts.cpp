#include "net/CertificateFacts.h"

#include <arpa/inet.h>
#include <cstddef>
#include <ctime>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <vector>

namespace {

// Certificate texts come from the server: nothing in them may steer a
// terminal or split a log line.
std::string Printable(const unsigned char* data, std::size_t size) {
    std::string out;
    out.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char c = data[i];
        out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
    }
    return out;
}

std::string NameText(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) {
        return "";
    }
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    std::string text =
        Printable(reinterpret_cast<const unsigned char*>(data), static_cast<std::size_t>(size));
    BIO_free(bio);
    return text;
}

std::vector<std::string> AltNames(const X509* cert) {
    std::vector<std::string> out;
    auto* names =
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (names == nullptr) {
        return out;
    }
    auto text = [](const ASN1_STRING* s) {
        return Printable(ASN1_STRING_get0_data(s), static_cast<std::size_t>(ASN1_STRING_length(s)));
    };
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        switch (name->type) {
        case GEN_DNS:
            out.push_back("DNS:" + text(name->d.dNSName));
            break;
        case GEN_EMAIL:
            out.push_back("email:" + text(name->d.rfc822Name));
            break;
        case GEN_URI:
            out.push_back("URI:" + text(name->d.uniformResourceIdentifier));
            break;
        case GEN_IPADD: {
            const ASN1_OCTET_STRING* ip = name->d.iPAddress;
            char buffer[INET6_ADDRSTRLEN] = "?";
            if (ASN1_STRING_length(ip) == 4) {
                ::inet_ntop(AF_INET, ASN1_STRING_get0_data(ip), buffer, sizeof buffer);
            } else if (ASN1_STRING_length(ip) == 16) {
                ::inet_ntop(AF_INET6, ASN1_STRING_get0_data(ip), buffer, sizeof buffer);
            }
            out.push_back(std::string("IP:") + buffer);
            break;
        }
        default:
            break;
        }
    }
    sk_GENERAL_NAME_pop_free(names, GENERAL_NAME_free);
    return out;
}

} // namespace

std::string OpenSslReason() {
    unsigned long code = ERR_peek_error();
    std::string text;
    if (code != 0) {
        const char* reason = ERR_reason_error_string(code);
        if (reason != nullptr) {
            text = reason;
        } else {
            char buffer[256];
            ERR_error_string_n(code, buffer, sizeof buffer);
            text = buffer;
        }
    }
    ERR_clear_error();
    return text.empty() ? "unknown error" : text;
}

std::string CertificateTimeText(const ASN1_TIME* time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) {
        return "?";
    }
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buffer;
}

std::string CertificateFingerprint(const X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(cert, EVP_sha256(), md, &size) != 1) {
        return "";
    }
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i > 0) {
            text += ':';
        }
        text += hex[md[i] >> 4];
        text += hex[md[i] & 0x0f];
    }
    return text;
}

bool IsIpLiteral(const std::string& name) {
    unsigned char buffer[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, name.c_str(), buffer) == 1 ||
           ::inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

TTlsCertificateFacts DescribeCertificate(const X509* cert, std::string protocol, std::string cipher,
                                         int verifyError) {
    TTlsCertificateFacts facts;
    facts.protocol = std::move(protocol);
    facts.cipher = std::move(cipher);
    facts.subject = NameText(X509_get_subject_name(cert));
    facts.issuer = NameText(X509_get_issuer_name(cert));
    facts.notBefore = CertificateTimeText(X509_get0_notBefore(cert));
    facts.notAfter = CertificateTimeText(X509_get0_notAfter(cert));
    facts.altNames = AltNames(cert);
    facts.fingerprint = CertificateFingerprint(cert);
    facts.verified = verifyError == X509_V_OK;
    if (!facts.verified) {
        facts.verifyError = X509_verify_cert_error_string(verifyError);
    }
    return facts;
}
