#include "sources/wbmp_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

#include "sources/decoder_support.h"
#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

// Seven bits per byte: four bytes already reach 2^28, beyond any size we
// accept.
constexpr int kMaxIntegerBytes = 4;
constexpr uint8_t kExtensionHeadersFollow = 0x80;

struct WbmpHeader {
    uint32_t width = 0, height = 0;
    size_t dataOffset = 0;
};

// A multi-byte integer: high bit set while more bytes follow.
bool readInteger(std::span<const uint8_t> data, size_t& pos, uint32_t& value) {
    value = 0;
    for (int i = 0; i < kMaxIntegerBytes; ++i) {
        if (pos >= data.size()) return false;
        const uint8_t b = data[pos++];
        value = value << 7 | (b & 0x7Fu);
        if (!(b & 0x80)) return true;
    }
    return false;
}

// Type 0 has no extension headers.
bool parseHeader(std::span<const uint8_t> data, WbmpHeader& h) {
    size_t pos = 0;
    uint32_t type = 0;
    if (!readInteger(data, pos, type) || type != 0 || pos >= data.size()) return false;
    if (data[pos++] & kExtensionHeadersFollow) return false;
    if (!readInteger(data, pos, h.width) || !readInteger(data, pos, h.height)) return false;
    h.dataOffset = pos;
    return h.width > 0 && h.height > 0;
}

size_t rowBytes(const WbmpHeader& h) { return (h.width + 7) / 8; }

bool sizePlausible(const WbmpHeader& h, size_t dataBytes) {
    const int64_t pixels = int64_t{h.width} * h.height;
    return pixels <= kWbmpMaxPixels && static_cast<int64_t>(rowBytes(h)) * h.height <= static_cast<int64_t>(dataBytes);
}

void decodePixels(std::span<const uint8_t> data, const WbmpHeader& h, TRaster& image) {
    image.Allocate(static_cast<int32_t>(h.width), static_cast<int32_t>(h.height), px1g);
    const size_t bytes = rowBytes(h);
    const uint8_t* in = data.data() + h.dataOffset;
    for (int32_t y = 0; y < image.Height(); ++y, in += bytes) {
        uint8_t* out = image.Scanline(y);
        std::memcpy(out, in, bytes);
        if (h.width % 8) out[h.width / 8] &= static_cast<uint8_t>(0xFF00 >> (h.width % 8));
    }
}

bool decodeWbmp(std::span<const uint8_t> data, TRaster& image, TIOParams& params, bool paramsOnly) {
    WbmpHeader h;
    if (!parseHeader(data, h) || !sizePlausible(h, data.size() - h.dataOffset)) return false;
    params.ImageWidth = params.OriginalWidth = static_cast<int32_t>(h.width);
    params.ImageHeight = params.OriginalHeight = static_cast<int32_t>(h.height);
    params.ChannelBits = 1;
    params.ChannelCount = 1;
    if (paramsOnly) return true;
    TRaster decoded;
    decodePixels(data, h, decoded);
    image = std::move(decoded);
    return true;
}

void readWbmp(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    params.SetImageCount(1);
    RunGuarded(ctx, [&] {
        std::vector<uint8_t> holder;
        return decodeWbmp(RemainingBytes(stream, holder), image, params, paramsOnly);
    });
}

}  // namespace

const TImageReader& WbmpImageReader() {
    static const TImageReader reader{readWbmp};
    return reader;
}

}  // namespace loopsmith
