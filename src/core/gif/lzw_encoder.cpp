#include "gif/lzw_encoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr int32_t kTableSize = 5003;  // prime, so every probe step walks all slots
constexpr int32_t kMaxCode = 4095;
constexpr int32_t kMaxWidth = 12;
constexpr int32_t kBlockData = 254;
// Code bytes gathered before they are cut into sub-blocks and written.
constexpr int32_t kBlocksPerWrite = 128;
constexpr int32_t kFlushAt = kBlockData * kBlocksPerWrite;
constexpr int32_t kDataCapacity = kFlushAt + 64;
constexpr int32_t kOutCapacity = 1 + (kDataCapacity / kBlockData + 1) * (kBlockData + 1) + 1;

// One allocation per call; the tables stay warm in cache for the hot loop.
struct LzwContext {
    std::array<int32_t, kTableSize> keys;
    std::array<uint16_t, kTableSize> codes;
    std::array<uint8_t, kDataCapacity> data;
    std::array<uint8_t, kOutCapacity> out;
};

// Frames code bytes as sub-blocks of 254 bytes and hands them to the stream
// in large writes; a short tail stays in `data` until more bytes arrive.
class BlockWriter {
public:
    BlockWriter(TStream& stream, LzwContext& ctx, uint8_t minCodeSize) : m_stream(stream), m_ctx(ctx) {
        m_ctx.out[0] = minCodeSize;
        m_outLen = 1;
    }

    uint8_t* data() { return m_ctx.data.data(); }

    // Writes every whole block held in data[0, length); returns the bytes kept.
    int32_t flushWhole(int32_t length) {
        int32_t whole = length - length % kBlockData;
        frame(whole);
        writeOut();
        std::memmove(m_ctx.data.data(), m_ctx.data.data() + whole, static_cast<size_t>(length - whole));
        return length - whole;
    }

    // Writes data[0, length) with its partial last block and the terminator.
    void finish(int32_t length) {
        frame(length);
        m_ctx.out[static_cast<size_t>(m_outLen++)] = 0;
        writeOut();
    }

private:
    void frame(int32_t length) {
        for (int32_t at = 0; at < length; at += kBlockData) {
            int32_t n = std::min(kBlockData, length - at);
            m_ctx.out[static_cast<size_t>(m_outLen)] = static_cast<uint8_t>(n);
            std::memcpy(m_ctx.out.data() + m_outLen + 1, m_ctx.data.data() + at, static_cast<size_t>(n));
            m_outLen += n + 1;
        }
    }

    void writeOut() {
        if (m_outLen > 0) m_stream.Write(m_ctx.out.data(), static_cast<size_t>(m_outLen));
        m_outLen = 0;
    }

    TStream& m_stream;
    LzwContext& m_ctx;
    int32_t m_outLen = 0;
};

// Rows in the order the encoder reads them: top to bottom, or the four
// interlace passes (rows 0, 8, ..; 4, 12, ..; 2, 6, ..; 1, 3, ..).
class RowWalk {
public:
    RowWalk(int32_t height, bool interlaced) : m_height(height), m_interlaced(interlaced) {}

    // -1 after the last row.
    int32_t next() {
        if (!m_interlaced) return m_row < m_height ? m_row++ : -1;
        static constexpr int32_t kStart[4] = {0, 4, 2, 1};
        static constexpr int32_t kStep[4] = {8, 8, 4, 2};
        while (m_pass < 4) {
            if (m_first) {
                m_row = kStart[m_pass];
                m_first = false;
            } else {
                m_row += kStep[m_pass];
            }
            if (m_row < m_height) return m_row;
            ++m_pass;
            m_first = true;
        }
        return -1;
    }

private:
    int32_t m_height;
    bool m_interlaced;
    int32_t m_row = 0;
    int32_t m_pass = 0;
    bool m_first = true;
};

void compress(TStream& out, LzwContext& ctx, int32_t height, int32_t width, int32_t minCodeSize,
              const uint8_t* pixels, bool interlaced) {
    const int32_t initialWidth = minCodeSize + 1;
    const uint32_t clearCode = 1u << minCodeSize;
    const uint32_t endCode = clearCode + 1;
    // Indices beyond the depth would spill into the neighbouring code's bits.
    const uint32_t pixelMask = clearCode - 1;

    BlockWriter blocks(out, ctx, static_cast<uint8_t>(minCodeSize));
    int32_t* const keys = ctx.keys.data();
    uint16_t* const codes = ctx.codes.data();
    uint8_t* const data = blocks.data();
    int32_t dataLen = 0;

    int32_t codeWidth = initialWidth;
    uint32_t largestCode = (1u << codeWidth) - 1;
    uint32_t nextCode = clearCode + 2;
    uint64_t bits = 0;
    int32_t bitsHeld = 0;

    // Width grows after the code is emitted and before a miss adds its entry,
    // which is the timing GIF decoders expect.
    auto emit = [&](uint32_t code) {
        bits |= static_cast<uint64_t>(code) << bitsHeld;
        bitsHeld += codeWidth;
        if (bitsHeld >= 32) {
            uint32_t word = static_cast<uint32_t>(bits);
            uint8_t bytes[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                                static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
            std::memcpy(data + dataLen, bytes, 4);
            dataLen += 4;
            bits >>= 32;
            bitsHeld -= 32;
            if (dataLen >= kFlushAt) dataLen = blocks.flushWhole(dataLen);
        }
        if (nextCode > largestCode) {
            ++codeWidth;
            // At 12 bits the table resets before the next code could need 13.
            largestCode = codeWidth == kMaxWidth ? kMaxCode + 1 : (1u << codeWidth) - 1;
        }
    };
    auto clearTable = [&] { std::memset(keys, 0xFF, sizeof(int32_t) * kTableSize); };

    RowWalk rows(height, interlaced);
    int32_t row = rows.next();
    uint32_t prefix = pixels[static_cast<size_t>(row) * static_cast<size_t>(width)] & pixelMask;
    int32_t column = 1;
    clearTable();
    emit(clearCode);

    for (; row >= 0; row = rows.next(), column = 0) {
        const uint8_t* line = pixels + static_cast<size_t>(row) * static_cast<size_t>(width);
        for (int32_t x = column; x < width; ++x) {
            const uint32_t p = line[x] & pixelMask;
            const int32_t key = static_cast<int32_t>((p << 12) + prefix);
            int32_t slot = static_cast<int32_t>((p << 4) ^ prefix);
            int32_t held = keys[slot];
            if (held == key) {
                prefix = codes[slot];
                continue;
            }
            if (held >= 0) {
                const int32_t step = slot == 0 ? 1 : kTableSize - slot;
                bool found = false;
                for (;;) {
                    slot -= step;
                    if (slot < 0) slot += kTableSize;
                    held = keys[slot];
                    if (held == key) {
                        found = true;
                        break;
                    }
                    if (held <= 0) break;
                }
                if (found) {
                    prefix = codes[slot];
                    continue;
                }
            }
            emit(prefix);
            if (nextCode <= kMaxCode) {
                keys[slot] = key;
                codes[slot] = static_cast<uint16_t>(nextCode++);
            } else {
                // The table is full: start over. The clear code goes out at
                // 12 bits; the code after it is at the initial width.
                clearTable();
                nextCode = clearCode + 2;
                emit(clearCode);
                codeWidth = initialWidth;
                largestCode = (1u << codeWidth) - 1;
            }
            prefix = p;
        }
    }

    emit(prefix);
    emit(endCode);
    for (; bitsHeld > 0; bitsHeld -= 8, bits >>= 8) data[dataLen++] = static_cast<uint8_t>(bits);
    blocks.finish(dataLen);
}

// An image without pixels still gets a well-formed stream: clear, end.
void writeEmpty(TStream& out, int32_t minCodeSize) {
    const uint32_t clearCode = 1u << minCodeSize;
    const int32_t codeWidth = minCodeSize + 1;
    uint32_t bits = clearCode | ((clearCode + 1) << codeWidth);
    const int32_t length = (2 * codeWidth + 7) / 8;
    uint8_t bytes[6] = {static_cast<uint8_t>(minCodeSize), static_cast<uint8_t>(length)};
    for (int32_t i = 0; i < length; ++i, bits >>= 8) bytes[2 + i] = static_cast<uint8_t>(bits);
    bytes[2 + length] = 0;
    out.Write(bytes, static_cast<size_t>(3 + length));
}

}  // namespace

void EncodeGifLzw(TStream& out, int32_t height, int32_t width, int32_t bits, const uint8_t* pixels, bool interlaced) {
    // Indices are bytes, so 8 bits always suffice; GIF needs at least 2.
    const int32_t minCodeSize = std::clamp(bits, 2, 8);
    if (height <= 0 || width <= 0 || pixels == nullptr) {
        writeEmpty(out, minCodeSize);
        return;
    }
    auto ctx = std::make_unique<LzwContext>();
    compress(out, *ctx, height, width, minCodeSize, pixels, interlaced);
}

}  // namespace loopsmith
