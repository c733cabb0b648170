// libFuzzer target: the attachment decoder on arbitrary input (first byte
// picks base64 or uuencode).
#include "fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzDecoder(data, size);
    return 0;
}
