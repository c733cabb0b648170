#include "ScenarioRun.h"

#include <gtest/gtest.h>

#include "support/WaitFor.h"

ScenarioFile LoadScenario(ScriptedPeer& peer, const std::string& path) {
    ScenarioFile file = ScenarioFile::Load(path);
    for (const PeerScenario& connection : file.connections) {
        peer.Add(connection);
    }
    return file;
}

void PlayOutcome(const ScenarioFile& file, const ScenarioSteps& steps) {
    for (const auto& [key, value] : file.outcome) {
        if (key == "wire") {
            continue;
        }
        SCOPED_TRACE("! " + key + ": " + value);
        auto step = steps.find(key);
        ASSERT_NE(step, steps.end()) << "no such key";
        step->second(value);
        if (::testing::Test::HasFatalFailure()) {
            return;
        }
    }
}

void ExpectScriptsKept(const ScriptedPeer& peer, const ScenarioFile& file) {
    ASSERT_TRUE(WaitFor([&] { return peer.Finished(); }));
    EXPECT_EQ(peer.Errors(), "");
    for (const auto& [key, value] : file.outcome) {
        if (key != "wire") {
            continue;
        }
        ASSERT_EQ(value, "exact");
        ASSERT_EQ(peer.Connections(), static_cast<int>(file.connections.size()));
        for (int i = 0; i < peer.Connections(); ++i) {
            EXPECT_EQ(peer.ReceivedInShort(i), peer.ExpectedInShort(i)) << "connection " << i;
        }
    }
}
