// Any code stream into the LZW decoder, for a few image shapes; a failed
// decode must put the stream back where it was.
#include <cstdlib>

#include "gif/lzw_decoder.h"
#include "util/stream.h"

using namespace loopsmith;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the shape and interlacing.
    const int32_t width = 1 + data[0] % 64;
    const int32_t height = 1 + (data[1] & 0x3F);
    const bool interlaced = data[1] & 0x40;
    std::vector<uint8_t> pixels(static_cast<size_t>(width * height));
    TMemoryStream stream(std::vector<uint8_t>(data + 2, data + size));
    if (!DecodeGifLzw(stream, height, width, interlaced, pixels.data()) && stream.Position() != 0) std::abort();
    return 0;
}
