#pragma once
// The client of the POP3 tests against a scripted server: "bob" with
// "secret" on the peer's port, files kept in a fresh Inbox, 10 s at most for
// any wait, and a record of the handlers it called.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pop3/NMpop3.h"
#include "support/ScriptedPeer.h"
#include "support/TempDir.h"

// Points `pop` at `port` on loopback as "bob" with "secret", keeping the
// files it receives in `inbox`.
inline void SetUpTestClient(TNMPOP3& pop, int port, const std::string& inbox, int timeOutMs) {
    pop.SetHost("127.0.0.1");
    pop.SetPort(port);
    pop.SetUserID("bob");
    pop.SetPassword("secret");
    pop.SetAttachFilePath(inbox);
    pop.SetTimeOut(timeOutMs);
}

struct ScriptedPop3 {
    ScriptedPeer peer;
    TempDir inbox;
    TNMPOP3 pop;
    std::vector<std::string> events; // "connect", "start", "end"

    ScriptedPop3() {
        SetUpTestClient(pop, peer.Port(), inbox.Path(), 10000);
        pop.OnConnect = [this](TObject* s) {
            EXPECT_EQ(s, &pop);
            events.push_back("connect");
        };
        pop.OnRetrieveStart = [this](TObject*) { events.push_back("start"); };
        pop.OnRetrieveEnd = [this](TObject*) { events.push_back("end"); };
    }
};
