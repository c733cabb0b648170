// The raise hook: this definition of the C++ runtime's throw entry takes the
// place of the runtime's own in every program that links it (the executable
// comes first in symbol lookup, also for throws made inside shared
// libraries). It records the raise for the reporter, then passes the
// exception on to the next definition, the runtime's (or, in a build with
// AddressSanitizer, the sanitizer's, which forwards to the runtime's).
#include <cstdlib>
#include <dlfcn.h>
#include <typeinfo>

#include "excreport/ExcMagic.h"

#if defined(__SANITIZE_ADDRESS__)
#define MAILGATE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MAILGATE_ASAN 1
#endif
#endif
#ifdef MAILGATE_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

using TThrow = void (*)(void*, std::type_info*, void (*)(void*));

TThrow RealThrow() noexcept {
    static TThrow real = reinterpret_cast<TThrow>(dlsym(RTLD_NEXT, "__cxa_throw"));
    return real;
}

} // namespace

void ExcThrowHookLinked() noexcept {
    RealThrow();
}

// The compiler's own declaration passes the type information as void*.
extern "C" [[noreturn]] void __cxa_throw(void* object, void* typeInfo, void (*destructor)(void*)) {
    auto* type = static_cast<std::type_info*>(typeInfo);
    TExcMagic::RecordThrow(object, type, __builtin_return_address(0), __builtin_frame_address(0));
    TThrow real = RealThrow();
    if (real == nullptr) {
        std::abort();
    }
#ifdef MAILGATE_ASAN
    // The frames below the handler are left without running their epilogues;
    // their stack must not stay poisoned. (A statically linked sanitizer
    // runtime is skipped by RTLD_NEXT and would not do it for us.)
    __asan_handle_no_return();
#endif
    real(object, type, destructor);
    std::abort();
}
