#include "net/Security.h"

#include <arpa/inet.h>

#include "codec/Codec.h"

std::optional<TSecurity> ParseSecurity(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    const std::string word = codec::AsciiLower(text);
    if (word.empty() || word == "auto") {
        return TSecurity::Auto;
    }
    if (word == "tls") {
        return TSecurity::Tls;
    }
    if (word == "starttls") {
        return TSecurity::StartTls;
    }
    if (word == "none") {
        return TSecurity::None;
    }
    return std::nullopt;
}

std::string SecurityName(TSecurity security) {
    switch (security) {
    case TSecurity::Tls:
        return "tls";
    case TSecurity::StartTls:
        return "starttls";
    case TSecurity::None:
        return "none";
    case TSecurity::Auto:
        break;
    }
    return "auto";
}

TSecurityPlan PlanSecurity(TSecurity security, std::string_view host, int port, int implicitPort) {
    TSecurityPlan plan;
    switch (security) {
    case TSecurity::Tls:
        plan.implicitTls = true;
        break;
    case TSecurity::StartTls:
        plan.upgrade = true;
        plan.upgradeRequired = true;
        break;
    case TSecurity::None:
        break;
    case TSecurity::Auto:
        if (port == implicitPort) {
            plan.implicitTls = true;
        } else {
            plan.upgrade = true;
            plan.upgradeRequired = !IsLoopbackHost(host);
        }
        break;
    }
    return plan;
}

bool IsLoopbackHost(std::string_view host) {
    const std::string name = codec::AsciiLower(host);
    if (name == "localhost" || name == "localhost." || name == "::1" || name == "[::1]") {
        return true;
    }
    in_addr address{};
    if (::inet_pton(AF_INET, name.c_str(), &address) == 1) {
        return (ntohl(address.s_addr) >> 24) == 127;
    }
    return false;
}
