// excreport_probe <log file> throw|segv|abort|console [signal stack KiB]
// throw:   raises in ProbeThrowingFunction and catches it; prints the
//          function's first and last line for the test to compare.
// segv:    writes to address 16 (not null: the undefined-behaviour
//          sanitizer would stop a null write before the fault).
// abort:   calls abort().
// console: the console report of an unhandled exception on standard error.
// With a signal stack size, the reporter's alternate signal stack is replaced
// by one of that size once the reporter is enabled: the handler must do with
// what a machine with a small signal frame would give it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <signal.h>
#include <stdexcept>
#include <sys/mman.h>

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
    if (argc > 3) {
        size_t size = std::strtoul(argv[3], nullptr, 10) * 1024;
        void* stack =
            ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (stack == MAP_FAILED) {
            return 3;
        }
        stack_t ss{};
        ss.ss_sp = stack;
        ss.ss_size = size;
        if (::sigaltstack(&ss, nullptr) != 0) {
            return 3;
        }
    }
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
