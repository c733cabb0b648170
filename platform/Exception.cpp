#include "platform/Exception.h"

#include <cstdlib>
#include <cxxabi.h>
#include <typeinfo>

std::string ExceptionClassName(const std::exception& e) {
    if (auto* own = dynamic_cast<const Exception*>(&e)) {
        return own->ClassName();
    }
    // Standard exceptions: the readable name of the dynamic type.
    const char* mangled = typeid(e).name();
    int status = 0;
    char* readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && readable ? readable : mangled;
    std::free(readable);
    return name;
}
