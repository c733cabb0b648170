#pragma once
// A keyring in memory, so that no test reads or changes a real one: its
// entries, whether it counts as there, and a refusal to raise on demand.
#include <map>
#include <string>
#include <tuple>

#include "platform/Keyring.h"

class FakeKeyring : public TKeyringAccess {
public:
    using Key = std::tuple<std::string, std::string, TSecretKind>; // server, user, kind
    std::map<Key, std::string> entries;
    bool available = true;
    // When set, Lookup, Store and Clear raise "Keyring unavailable: <refusal>".
    std::string refusal;
    int stores = 0;

    bool Available() override { return available; }
    std::optional<std::string> Lookup(const std::string& server, const std::string& user,
                                      TSecretKind kind) override {
        Refuse();
        auto found = entries.find({server, user, kind});
        if (found == entries.end()) {
            return std::nullopt;
        }
        return found->second;
    }
    void Store(const std::string& server, const std::string& user, TSecretKind kind,
               const std::string& secret) override {
        Refuse();
        ++stores;
        entries[{server, user, kind}] = secret;
    }
    bool Clear(const std::string& server, const std::string& user, TSecretKind kind) override {
        Refuse();
        return entries.erase({server, user, kind}) > 0;
    }

    // The entry, or "<none>".
    std::string Entry(const std::string& server, const std::string& user,
                      TSecretKind kind = TSecretKind::Password) const {
        auto found = entries.find({server, user, kind});
        return found == entries.end() ? "<none>" : found->second;
    }

private:
    void Refuse() const {
        if (!refusal.empty()) {
            throw EKeyringError("Keyring unavailable: " + refusal);
        }
    }
};
