// The only file that sees glib: its headers define names (`signals`) that
// Qt's keywords would turn into something else.
#include "platform/Keyring.h"

#include <libsecret/secret.h>
#include <memory>

namespace {

const SecretSchema& Schema() {
    static const SecretSchema schema = {
        "org.mailgate.Secret",
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"kind", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return schema;
}

constexpr const char* Service = "mailgate";

const char* KindWord(TSecretKind kind) {
    return kind == TSecretKind::Password ? "password" : "refresh-token";
}

const char* KindName(TSecretKind kind) {
    return kind == TSecretKind::Password ? "password" : "refresh token";
}

struct TErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using TError = std::unique_ptr<GError, TErrorFree>;

struct TSecretFree {
    // Overwrites the secret before it is given back.
    void operator()(gchar* secret) const { secret_password_free(secret); }
};

struct TUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

EKeyringError Unavailable(const GError* error) {
    return EKeyringError(
        std::string("Keyring unavailable: ") +
        (error != nullptr && error->message != nullptr ? error->message : "unknown error"));
}

// Connects to the session bus, or raises. Glib's shared connection would end
// the whole process when the bus goes away; losing the keyring must not end
// the gateway.
void ConnectBus() {
    GError* raw = nullptr;
    std::unique_ptr<GDBusConnection, TUnref> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
    TError error(raw);
    if (!bus) {
        throw Unavailable(error.get());
    }
    g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
}

} // namespace

std::string TKeyringAccess::NoEntryText(const std::string& server, const std::string& user,
                                        TSecretKind kind) {
    return std::string("Keyring: no ") + KindName(kind) + " for user " + user + " on server " +
           server;
}

std::string TKeyringAccess::Read(const std::string& server, const std::string& user,
                                 TSecretKind kind) {
    std::optional<std::string> secret = Lookup(server, user, kind);
    if (!secret) {
        throw EKeyringError(NoEntryText(server, user, kind));
    }
    return std::move(*secret);
}

bool TKeyring::Available() {
    try {
        ConnectBus();
    } catch (const EKeyringError&) {
        return false;
    }
    GError* raw = nullptr;
    // A session with the service is what every later call needs; a bus
    // without the service fails here.
    std::unique_ptr<SecretService, TUnref> service(
        secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &raw));
    TError error(raw);
    return service != nullptr && error == nullptr;
}

std::optional<std::string> TKeyring::Lookup(const std::string& server, const std::string& user,
                                            TSecretKind kind) {
    ConnectBus();
    GError* raw = nullptr;
    std::unique_ptr<gchar, TSecretFree> secret(secret_password_lookup_sync(
        &Schema(), nullptr, &raw, "service", Service, "server", server.c_str(), "user",
        user.c_str(), "kind", KindWord(kind), nullptr));
    TError error(raw);
    if (error) {
        throw Unavailable(error.get());
    }
    if (!secret) {
        return std::nullopt;
    }
    return std::string(secret.get());
}

void TKeyring::Store(const std::string& server, const std::string& user, TSecretKind kind,
                     const std::string& secret) {
    ConnectBus();
    const std::string label =
        std::string("mailgate ") + KindName(kind) + " for " + user + " on " + server;
    GError* raw = nullptr;
    const gboolean stored = secret_password_store_sync(
        &Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), secret.c_str(), nullptr, &raw,
        "service", Service, "server", server.c_str(), "user", user.c_str(), "kind", KindWord(kind),
        nullptr);
    TError error(raw);
    if (!stored || error) {
        throw Unavailable(error.get());
    }
}

bool TKeyring::Clear(const std::string& server, const std::string& user, TSecretKind kind) {
    ConnectBus();
    GError* raw = nullptr;
    const gboolean removed = secret_password_clear_sync(
        &Schema(), nullptr, &raw, "service", Service, "server", server.c_str(), "user",
        user.c_str(), "kind", KindWord(kind), nullptr);
    TError error(raw);
    if (error) {
        throw Unavailable(error.get());
    }
    return removed != FALSE;
}
