// Any bytes through the PNG reader: the parameters-only pass, then the
// full decode, each on the input as given and on a copy whose chunk CRCs
// are made right, so that mutations reach past libpng's checksum test.
#include <vector>

#include "sources/image_reader.h"
#include "sources/png_decoder.h"
#include "util/stream.h"

using namespace loopsmith;

namespace {

uint32_t crc32(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
    }
    return ~crc;
}

// Chunks start after the 8-byte signature: length, type, data, CRC.
bool fixCrcs(std::vector<uint8_t>& bytes) {
    bool changed = false;
    size_t at = 8;
    while (at + 12 <= bytes.size()) {
        const size_t length = size_t{bytes[at]} << 24 | size_t{bytes[at + 1]} << 16 | size_t{bytes[at + 2]} << 8 | bytes[at + 3];
        if (length > bytes.size() - at - 12) break;
        const uint32_t crc = crc32(bytes.data() + at + 4, length + 4);
        uint8_t* out = bytes.data() + at + 8 + length;
        for (int i = 0; i < 4; ++i) {
            const auto b = static_cast<uint8_t>(crc >> (24 - 8 * i));
            changed |= out[i] != b;
            out[i] = b;
        }
        at += length + 12;
    }
    return changed;
}

void readBoth(const std::vector<uint8_t>& bytes) {
    for (const bool paramsOnly : {true, false}) {
        TMemoryStream stream(bytes);
        TRaster image;
        TIOParams params;
        bool abort = false;
        TProgressContext ctx(abort);
        PngImageReader().Read(stream, image, params, ctx, paramsOnly);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    readBoth(bytes);
    if (fixCrcs(bytes)) readBoth(bytes);
    return 0;
}
