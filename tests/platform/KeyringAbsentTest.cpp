// What every other test relies on: the test entry gives the unit tests a
// session bus that does not exist, so the real keyring is out of reach and
// says so with a text of its own. (The keyring itself: KeyringTest.cpp.)
#include <functional>
#include <gtest/gtest.h>

#include "platform/Keyring.h"

namespace {

TEST(KeyringAbsent, NoUnitTestReachesARealKeyring) {
    TKeyring keyring;
    EXPECT_FALSE(keyring.Available());
    for (const auto& call : std::initializer_list<std::function<void()>>{
             [&] { keyring.Lookup("pop.test", "bob", TSecretKind::Password); },
             [&] { keyring.Store("pop.test", "bob", TSecretKind::Password, "never-stored"); },
             [&] { keyring.Clear("pop.test", "bob", TSecretKind::RefreshToken); },
             [&] { keyring.Read("pop.test", "bob", TSecretKind::Password); }}) {
        try {
            call();
            ADD_FAILURE() << "no EKeyringError";
        } catch (const EKeyringError& e) {
            const std::string text = e.what();
            EXPECT_EQ(text.rfind("Keyring unavailable: ", 0), 0u) << text;
            EXPECT_EQ(text.find("never-stored"), std::string::npos);
        }
    }
}

} // namespace
