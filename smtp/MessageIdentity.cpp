#include "smtp/MessageIdentity.h"

#include "platform/Exception.h"
#include "platform/FileDigest.h"
#include "smtp/MailComposer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kPrefix = "<mg.";
constexpr size_t kHexDigits = 32;
constexpr size_t kMaxDomain = 253;

bool IsLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool IsLabelChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// Lower-case labels of letters, digits and hyphens joined by single dots:
// what can stand in a Message-ID's right half without quoting, and the same
// for every spelling of the sender's domain.
bool IsPlainDomain(std::string_view domain) {
    if (domain.empty() || domain.size() > kMaxDomain) {
        return false;
    }
    bool labelStart = true;
    for (char c : domain) {
        if (c == '.') {
            if (labelStart) {
                return false;
            }
            labelStart = true;
        } else if (IsLabelChar(c)) {
            labelStart = false;
        } else {
            return false;
        }
    }
    return !labelStart;
}

std::string DomainOf(const std::string& fromAddress) {
    MailAddressParts parts;
    std::string why;
    std::string address = ParseMailAddress(fromAddress, parts, why) ? parts.address : fromAddress;
    size_t at = address.rfind('@');
    if (at == std::string::npos) {
        return "localhost";
    }
    std::string domain = address.substr(at + 1);
    for (char& c : domain) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return IsPlainDomain(domain) ? domain : "localhost";
}

} // namespace

std::string MailgateMessageId(const std::string& filePath, const std::string& fromAddress) {
    struct stat st {};
    const std::string content = FileSha256(filePath, &st);
    // Every field ends in a NUL, which no file name holds, so no two
    // different files share a record.
    std::string record = "mailgate outbox file";
    record += '\0';
    record += BaseFileName(filePath);
    record += '\0';
    record += std::to_string(static_cast<long long>(st.st_size));
    record += '\0';
    record += std::to_string(static_cast<long long>(st.st_mtim.tv_sec)) + "." +
              std::to_string(static_cast<long long>(st.st_mtim.tv_nsec));
    record += '\0';
    record += content;

    const std::string digest = Sha256(record);

    std::string id(kPrefix);
    id += HexPrefix(digest, kHexDigits);
    id += '@';
    id += DomainOf(fromAddress);
    id += '>';
    return id;
}

bool IsMailgateMessageId(std::string_view id) noexcept {
    if (id.size() < kPrefix.size() + kHexDigits + 3 || id.substr(0, kPrefix.size()) != kPrefix ||
        id.back() != '>') {
        return false;
    }
    std::string_view rest = id.substr(kPrefix.size(), id.size() - kPrefix.size() - 1);
    for (size_t i = 0; i < kHexDigits; ++i) {
        if (!IsLowerHex(rest[i])) {
            return false;
        }
    }
    return rest[kHexDigits] == '@' && IsPlainDomain(rest.substr(kHexDigits + 1));
}
