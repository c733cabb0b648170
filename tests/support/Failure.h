#pragma once
// What a piece of test code raises, as the text the tests compare.
#include <string>

#include "platform/Exception.h"

inline constexpr const char* NothingRaised = "(nothing raised)";

// The message of the `E` that `f` raises, or NothingRaised. Anything else it
// raises passes through and fails the test.
template <class E = Exception, class F> std::string FailureOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.Message();
    }
    return NothingRaised;
}
