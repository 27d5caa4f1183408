// Content detection must answer for any bytes and put the stream back.
#include <cstdlib>

#include "sources/detect.h"
#include "util/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    loopsmith::TMemoryStream stream(std::vector<uint8_t>(data, data + size));
    (void)loopsmith::DetectStreamKind(stream);
    if (stream.Position() != 0) std::abort();
    return 0;
}
