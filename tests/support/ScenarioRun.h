#pragma once
// The frame of a test runner for scenario files (see ScriptedPeer.h): the
// runner names what each "!" key does; this plays the keys in file order
// and checks the peer's side at the end.
#include <functional>
#include <map>
#include <string>

#include "support/ScriptedPeer.h"

// Reads the scenario file at `path` and adds its connections to `peer`.
// Raises what ScenarioFile::Load raises.
ScenarioFile LoadScenario(ScriptedPeer& peer, const std::string& path);

using ScenarioSteps = std::map<std::string, std::function<void(const std::string& value)>>;

// Hands every "!" line of `file` but "wire" to its step, in file order; fails
// the test on a key without a step and stops at a fatal failure.
void PlayOutcome(const ScenarioFile& file, const ScenarioSteps& steps);

// Once the client has closed every connection: the scripts were kept and,
// with "! wire: exact", the client sent just what they say.
void ExpectScriptsKept(const ScriptedPeer& peer, const ScenarioFile& file);
