// libFuzzer target: a whole retrieved message parsed and its parts written
// into a scratch folder that is emptied after each input.
#include <cstdlib>

#include "fuzz/FuzzTargets.h"

namespace {

const std::string& Scratch() {
    static const std::string folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "mg-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        return pattern + "/";
    }();
    return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzMessage(data, size, Scratch());
    return 0;
}
