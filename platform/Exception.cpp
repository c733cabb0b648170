#include "platform/Exception.h"

#include <cstdlib>
#include <cxxabi.h>
#include <typeinfo>

const char* ExceptionClassName(const std::exception& e) noexcept {
    if (auto* own = dynamic_cast<const Exception*>(&e)) {
        return own->ClassName();
    }
    // Standard exceptions: the mangled name of the dynamic type, made readable
    // once per type and kept for the life of the process.
    const char* mangled = typeid(e).name();
    int status = 0;
    char* readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    return status == 0 && readable ? readable : mangled;
}
