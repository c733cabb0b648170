// excreport_probe <log file> throw|segv|abort|console
// throw:   raises in ProbeThrowingFunction and catches it; prints the
//          function's first and last line for the test to compare.
// segv:    writes to address 16 (not null: the undefined-behaviour
//          sanitizer would stop a null write before the fault).
// abort:   calls abort().
// console: the console report of an unhandled exception on standard error.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "excreport/ExcMagic.h"

namespace {

constexpr int throwingFirstLine = __LINE__ + 1;
[[gnu::noinline]] void ProbeThrowingFunction(int depth) {
    if (depth > 0) {
        throw std::runtime_error("probe failure");
    }
}
constexpr int throwingLastLine = __LINE__ - 1;

[[gnu::noinline]] void ProbeCrash(volatile int* p) {
    *p = 42;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    bool console = std::strcmp(argv[2], "console") == 0;
    TExcMagic magic(console ? TExcMagic::mdConsole : TExcMagic::mdDialog);
    magic.SetEnabled(true);
    magic.SetLogFileName(argv[1]);
    magic.SetLogOnDispatch(true);
    if (std::strcmp(argv[2], "throw") == 0) {
        std::printf("%d %d\n", throwingFirstLine, throwingLastLine);
        std::fflush(stdout);
        try {
            ProbeThrowingFunction(1);
        } catch (const std::exception&) {
        }
        return 0;
    }
    if (std::strcmp(argv[2], "segv") == 0) {
        // Through a volatile so the optimiser cannot see the bad address.
        volatile uintptr_t badAddress = 16;
        ProbeCrash(reinterpret_cast<volatile int*>(badAddress));
        return 0;
    }
    if (std::strcmp(argv[2], "abort") == 0) {
        std::abort();
    }
    if (console) {
        magic.SetLogOnDispatch(false);
        magic.SetOptions(roShow | roCallStack);
        try {
            ProbeThrowingFunction(1);
        } catch (const std::exception& e) {
            magic.HandleException(e);
        }
        return 0;
    }
    return 2;
}
