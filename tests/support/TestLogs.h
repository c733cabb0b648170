#pragma once
// Keeps what a test run wrote in logs and what the program printed, so that
// the test script can search all of it for secrets afterwards. Only when
// MAILGATE_TEST_LOGS names a folder; otherwise these do nothing.
//
// Errors: none raised; a copy that fails is skipped (the test's own outcome
// must not depend on the keeping).
#include <string>

// Copies every file under `folder` whose name has ".log" in it (any case:
// "options.log", "ExcMagic.Log", a rotated "ExcMagic.Log.1").
void KeepTestLogs(const std::string& folder);

// Keeps `text` (a program's output) under a name that starts with `what`.
void KeepTestOutput(const std::string& what, const std::string& text);
