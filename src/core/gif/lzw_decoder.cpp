#include "gif/lzw_decoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <vector>

#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr uint32_t kMaxCodes = 4096;
constexpr int kMaxCodeWidth = 12;
constexpr size_t kReadChunk = size_t{64} * 1024;
// The bit reader loads 8 bytes at a time; zero bytes behind the data keep
// those loads inside the buffer and make missing bits read as 0.
constexpr size_t kPadding = 8;

struct GatheredData {
    std::vector<uint8_t> bytes;  // data bytes, then kPadding zero bytes
    size_t count = 0;
};

// Concatenates the data sub-blocks in large reads and leaves the stream
// just after the 0 terminator (or at its end when it is cut short). At
// most `cap` bytes are kept; anything beyond is skipped, so a run of
// sub-blocks far longer than the image can use costs no memory.
GatheredData gatherSubBlocks(TStream& in, size_t cap) {
    GatheredData out;
    std::vector<uint8_t>& data = out.bytes;
    size_t kept = 0;
    size_t need = 0;  // bytes still due in the current sub-block
    for (bool done = false; !done;) {
        const int64_t chunkStart = in.Position();
        const size_t base = kept;
        data.resize(base + kReadChunk);
        const size_t got = in.Read(data.data() + base, kReadChunk);
        if (got == 0) break;
        size_t r = base;
        const size_t stop = base + got;
        while (r < stop) {
            if (need == 0) {
                need = data[r++];
                if (need == 0) {
                    in.Seek(chunkStart + static_cast<int64_t>(r - base));
                    done = true;
                    break;
                }
                continue;
            }
            const size_t n = std::min(need, stop - r);
            const size_t store = std::min(n, cap - kept);
            // Always a move downwards: the length bytes dropped so far keep
            // the write position at or behind the read position.
            if (store > 0) std::memmove(data.data() + kept, data.data() + r, store);
            kept += store;
            r += n;
            need -= n;
        }
    }
    data.resize(kept);
    data.resize(kept + kPadding);
    out.count = kept;
    return out;
}

struct DecodeResult {
    bool ok;
    size_t written;
};

inline uint64_t loadLE64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

// Copies an earlier string of the output forward. With `slack` the copy
// runs in 8-byte steps and may write up to 7 bytes past `len`, which later
// output overwrites; the source always ends at or before `dst`, so the
// bytes that matter are never read after being overwritten.
inline void copyString(uint8_t* dst, const uint8_t* src, size_t len, bool slack) {
    if (slack) {
        for (size_t i = 0; i < len; i += 8) {
            uint64_t t;
            std::memcpy(&t, src + i, 8);
            std::memcpy(dst + i, &t, 8);
        }
    } else {
        std::memcpy(dst, src, len);
    }
}

// Decodes the code stream into `out` in stream order. Each table entry is
// kept as the place its string was first written and its length, so
// output is a copy from earlier output rather than a walk down a prefix
// chain. Reports how many pixels it produced, and failure for a code
// stream that cannot be valid.
DecodeResult decodeCodes(const uint8_t* data, size_t count, int minCodeSize, uint8_t* out, size_t outSize) {
    const uint32_t clear = 1u << minCodeSize;
    const uint32_t end = clear + 1;
    const uint64_t bitEnd = uint64_t{count} * 8;

    std::array<size_t, kMaxCodes> offset;
    std::array<uint16_t, kMaxCodes> length;

    // A stream that does not open with a clear code starts from the state
    // a clear code sets.
    int width = minCodeSize + 1;
    uint32_t limit = 1u << width;
    uint32_t mask = limit - 1;
    uint32_t next = end + 1;
    bool havePrev = false;
    size_t prevPos = 0, prevLen = 0;
    size_t pos = 0;
    uint64_t bitPos = 0;
    while (bitPos < bitEnd) {
        uint32_t code = static_cast<uint32_t>(loadLE64(data + (bitPos >> 3)) >> (bitPos & 7)) & mask;
        bitPos += static_cast<uint64_t>(width);

        if (code == clear) {
            width = minCodeSize + 1;
            limit = 1u << width;
            mask = limit - 1;
            next = end + 1;
            havePrev = false;
            continue;
        }
        if (code == end) {
            // An end code straight after a clear code must close the data.
            return {havePrev || (bitPos + 7) / 8 >= count, pos};
        }
        if (pos >= outSize) return {true, pos};  // every pixel is in; the rest is not needed
        const size_t room = outSize - pos;

        if (!havePrev) {
            if (code >= next) code = 0;
            out[pos] = static_cast<uint8_t>(code);
            prevPos = pos;
            prevLen = 1;
            ++pos;
            havePrev = true;
            continue;
        }

        size_t len;
        if (code < clear) {
            len = 1;
            out[pos] = static_cast<uint8_t>(code);
        } else if (code < next) {
            len = length[code];
            if (len > room) {
                std::memcpy(out + pos, out + offset[code], room);
                return {true, outSize};
            }
            copyString(out + pos, out + offset[code], len, room >= len + 8);
        } else if (code == next && next < kMaxCodes) {
            // The string being defined: the previous one plus its own first byte.
            len = prevLen + 1;
            if (len > room) {
                std::memcpy(out + pos, out + prevPos, room);
                return {true, outSize};
            }
            copyString(out + pos, out + prevPos, prevLen, room >= len + 8);
            out[pos + prevLen] = out[prevPos];
        } else {
            return {false, pos};
        }

        // A full table stays as it is until the next clear code (a deferred
        // clear); the codes keep their 12 bits.
        if (next < kMaxCodes) {
            offset[next] = prevPos;
            length[next] = static_cast<uint16_t>(prevLen + 1);
            ++next;
            if (next == limit && width < kMaxCodeWidth) {
                ++width;
                limit <<= 1;
                mask = limit - 1;
            }
        }
        prevPos = pos;
        prevLen = len;
        pos += len;
    }
    return {true, pos};
}

// Rows arrive in the four-pass order; moves each to its place in the
// buffer by following the permutation's cycles, with one spare row.
void deinterlace(uint8_t* pixels, size_t width, size_t height) {
    std::vector<uint32_t> target(height);
    size_t k = 0;
    constexpr size_t kStart[4] = {0, 4, 2, 1};
    constexpr size_t kStep[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (size_t row = kStart[pass]; row < height; row += kStep[pass]) target[k++] = static_cast<uint32_t>(row);

    std::vector<bool> placed(height, false);
    std::vector<uint8_t> carry(width);
    for (size_t first = 0; first < height; ++first) {
        if (placed[first]) continue;
        if (target[first] == first) {
            placed[first] = true;
            continue;
        }
        std::memcpy(carry.data(), pixels + first * width, width);
        size_t j = target[first];
        for (;;) {
            std::swap_ranges(carry.begin(), carry.end(), pixels + j * width);
            placed[j] = true;
            if (j == first) break;
            j = target[j];
        }
    }
}

}  // namespace

bool DecodeGifLzw(TStream& in, int32_t height, int32_t width, bool interlaced, uint8_t* pixels) {
    const int64_t start = in.Position();
    const size_t w = width > 0 ? static_cast<size_t>(width) : 0;
    const size_t h = height > 0 ? static_cast<size_t>(height) : 0;
    const size_t total = w * h;

    const int minCodeSize = in.ReadByte();
    if (minCodeSize < 2 || minCodeSize > 9) {
        in.Seek(start);
        return false;
    }
    // Even a stream that sends a clear code before every pixel needs less
    // than 4 bytes a pixel.
    const size_t cap = total < std::numeric_limits<size_t>::max() / 8 ? total * 4 + 4096 : total;
    GatheredData data = gatherSubBlocks(in, cap);
    DecodeResult result{true, 0};
    if (data.count > 0) result = decodeCodes(data.bytes.data(), data.count, minCodeSize, pixels, total);
    if (!result.ok) {
        in.Seek(start);
        return false;
    }
    // Pixels a short code stream never reached read as index 0.
    if (result.written < total) std::memset(pixels + result.written, 0, total - result.written);
    if (interlaced && h > 1 && w > 0) deinterlace(pixels, w, h);
    return true;
}

}  // namespace loopsmith
