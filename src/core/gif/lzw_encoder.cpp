#include "gif/lzw_encoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr int32_t kSlotCount = 5003;  // prime, so every probe step walks all slots
constexpr uint32_t kMaxCode = 4095;
constexpr int32_t kMaxWidth = 12;
constexpr int32_t kBlockData = 254;
// Code bytes gathered before they are cut into sub-blocks and written.
constexpr int32_t kBlocksPerWrite = 128;
constexpr int32_t kFlushAt = kBlockData * kBlocksPerWrite;
// Room past the flush mark for the eight-byte stores of the last codes.
constexpr int32_t kDataCapacity = kFlushAt + 64;
constexpr int32_t kOutCapacity = 1 + (kDataCapacity / kBlockData + 1) * (kBlockData + 1) + 1;
// Codes are gathered and packed into bits in batches, away from the
// string search; a miss adds at most two (its prefix and a clear code).
constexpr int32_t kPendingFlush = 4096;
constexpr int32_t kPendingCapacity = kPendingFlush + 2;

constexpr uint32_t kLookupBits = 13;
constexpr uint32_t kLookupMask = (1u << kLookupBits) - 1;
// A string sits in one of two candidate slots, the second in the other
// half, or past them along a stride when both were taken.
constexpr uint32_t kSecondChoice = 1u << (kLookupBits - 1);
// Takes the stores of a hit, so hits and misses share one path; never searched.
constexpr uint32_t kSpareSlot = kLookupMask + 1;
constexpr uint32_t kLookupSize = kSpareSlot + 1;
// Keys (pixel << 12 | prefix) are below 1 << 20.
constexpr uint32_t kEmptyKey = 0xFFFFFFFF;
constexpr uint32_t kDeletedKey = 0xFFFFFFFE;  // key 0 dropped, keeps probes going

// The string table decides the output through one quirk of its 5003-slot
// hash: a probe that meets the slot of key 0 (pixel 0 after prefix 0) ends
// there as a miss and stores its own key over it, so that string is dropped
// and later coded again. Only then do the slots matter; otherwise the table
// acts as a plain set of strings. Strings are therefore found in the lookup
// table, sparser and with a one-instruction hash, and the 5003 slots are only
// followed once key 0 lands where a probe can meet it (`followSlotTable`).
struct LzwContext {
    std::array<uint32_t, kLookupSize> lookupKeys;
    std::array<uint16_t, kLookupSize> lookupCodes;
    // Replayed into the slots; one spare for the code past the last.
    std::array<uint32_t, kMaxCode + 2> keyOfCode;
    std::array<int32_t, kSlotCount> slotKeys;  // -1 = empty
    std::array<uint16_t, kPendingCapacity> pending;
    std::array<uint8_t, kDataCapacity> data;
    std::array<uint8_t, kOutCapacity> out;
};

// A string's first candidate slot and the stride past both candidates: the
// prefix XOR a spread of the pixel, so the hash costs one instruction after
// the previous lookup (prefixes are below 4096, so the result is in range);
// the odd per-pixel stride keeps runs of neighbouring codes (long runs of one
// colour) from forming clusters that every probe has to cross.
inline uint32_t lookupStart(uint32_t prefix, uint32_t pixel) {
    return prefix ^ ((pixel * 0x9E3779B1u) >> (32 - kLookupBits));
}

inline uint32_t lookupStride(uint32_t pixel) { return ((pixel * 0x85EBCA6Bu) >> (32 - kLookupBits)) | 1; }

// The 5003-slot search: the slot holding `key`, or where the search ends.
// An empty first slot ends it; after that, key 0 ends it too.
int32_t findSlot(const int32_t* keys, uint32_t key) {
    int32_t slot = static_cast<int32_t>(((key >> 12) << 4) ^ (key & kMaxCode));
    const int32_t wanted = static_cast<int32_t>(key);
    if (keys[slot] == wanted || keys[slot] < 0) return slot;
    const int32_t step = slot == 0 ? 1 : kSlotCount - slot;
    for (;;) {
        slot -= step;
        if (slot < 0) slot += kSlotCount;
        if (keys[slot] == wanted || keys[slot] <= 0) return slot;
    }
}

// The strings of one table generation, from first clear to the next.
struct TableState {
    uint32_t firstCode = 0;
    bool slotZeroTaken = false;  // by the first key whose search starts at slot 0
    bool followSlots = false;    // the slots are kept, key 0 can be dropped
    uint32_t zeroAt = 0;         // where key 0 sits in the lookup table
};

// Puts every string added so far (codes firstCode..lastCode) into the slots
// in the order they were added, which gives the slots the table has now.
void replaySlots(LzwContext& ctx, uint32_t firstCode, uint32_t lastCode) {
    std::fill(ctx.slotKeys.begin(), ctx.slotKeys.end(), -1);
    for (uint32_t code = firstCode; code <= lastCode; ++code) {
        const int32_t slot = findSlot(ctx.slotKeys.data(), ctx.keyOfCode[code]);
        ctx.slotKeys[static_cast<size_t>(slot)] = static_cast<int32_t>(ctx.keyOfCode[code]);
    }
}

// Keeps the slots once they matter. Slot 0 is taken by the first key whose
// search starts there and no search passes through it later, so key 0 there
// is safe. Key 0 anywhere else can be met by a later probe: from then on
// every string goes into the slots too, and one that lands on key 0 drops it.
void followSlotTable(LzwContext& ctx, TableState& state, uint32_t key, uint32_t lastCode) {
    if (state.followSlots) {
        const int32_t slot = findSlot(ctx.slotKeys.data(), key);
        if (ctx.slotKeys[static_cast<size_t>(slot)] == 0) ctx.lookupKeys[state.zeroAt] = kDeletedKey;
        ctx.slotKeys[static_cast<size_t>(slot)] = static_cast<int32_t>(key);
        return;
    }
    if (!state.slotZeroTaken) {
        state.slotZeroTaken = true;
        return;
    }
    if (key == 0) {
        state.followSlots = true;
        replaySlots(ctx, state.firstCode, lastCode);
    }
}

// Turns codes into the bit stream, least significant bit first, and the
// bytes into sub-blocks of 254, handed to the stream in large writes.
class CodeWriter {
public:
    CodeWriter(TStream& stream, LzwContext& ctx, int32_t minCodeSize)
        : m_stream(stream),
          m_ctx(ctx),
          m_initialWidth(minCodeSize + 1),
          m_clearCode(1u << minCodeSize),
          m_codeWidth(m_initialWidth),
          m_largestCode((1u << m_initialWidth) - 1),
          m_nextCode(m_clearCode + 2) {
        m_ctx.out[0] = static_cast<uint8_t>(minCodeSize);
        m_outLen = 1;
    }

    // Packs codes in the order the compressor chose them. The width follows
    // the table as a decoder rebuilds it: every code but a clear code stands
    // for one new entry, and the width grows after the code that is emitted
    // once the next entry no longer fits, before that entry is added. A clear
    // code goes out at the width in force; the code after it at the initial
    // width.
    void pack(const uint16_t* codes, int32_t count) {
        uint64_t bits = m_bits;
        int32_t bitsHeld = m_bitsHeld;
        int32_t dataLen = m_dataLen;
        uint8_t* const data = m_ctx.data.data();
        for (int32_t i = 0; i < count; ++i) {
            const uint32_t code = codes[i];
            bits |= static_cast<uint64_t>(code) << bitsHeld;
            bitsHeld += m_codeWidth;
            // Eight bytes stored, the whole ones kept.
            uint8_t bytes[8];
            for (int b = 0; b < 8; ++b) bytes[b] = static_cast<uint8_t>(bits >> (8 * b));
            std::memcpy(data + dataLen, bytes, 8);
            dataLen += bitsHeld >> 3;
            bits >>= bitsHeld & ~7;
            bitsHeld &= 7;
            if (code == m_clearCode) {
                m_codeWidth = m_initialWidth;
                m_largestCode = (1u << m_codeWidth) - 1;
                m_nextCode = m_clearCode + 2;
                continue;
            }
            if (m_nextCode > m_largestCode) {
                ++m_codeWidth;
                // At 12 bits the table resets before a code could need 13.
                m_largestCode = m_codeWidth == kMaxWidth ? kMaxCode + 1 : (1u << m_codeWidth) - 1;
            }
            ++m_nextCode;
            if (dataLen >= kFlushAt) dataLen = flushWhole(dataLen);
        }
        m_bits = bits;
        m_bitsHeld = bitsHeld;
        m_dataLen = dataLen;
    }

    // The last byte is filled with zero bits; then the partial block and the
    // terminator.
    void finish() {
        if (m_bitsHeld > 0) m_ctx.data[static_cast<size_t>(m_dataLen++)] = static_cast<uint8_t>(m_bits);
        frame(m_dataLen);
        m_ctx.out[static_cast<size_t>(m_outLen++)] = 0;
        writeOut();
    }

private:
    // Writes every whole block held in data[0, length); returns the bytes kept.
    int32_t flushWhole(int32_t length) {
        int32_t whole = length - length % kBlockData;
        frame(whole);
        writeOut();
        std::memmove(m_ctx.data.data(), m_ctx.data.data() + whole, static_cast<size_t>(length - whole));
        return length - whole;
    }

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
    const int32_t m_initialWidth;
    const uint32_t m_clearCode;
    int32_t m_codeWidth;
    uint32_t m_largestCode;
    uint32_t m_nextCode;
    uint64_t m_bits = 0;
    int32_t m_bitsHeld = 0;
    int32_t m_dataLen = 0;
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

// The string search over the pixels. Both candidate slots are loaded at
// once and the next prefix picked from them; a miss whose string fits a free
// candidate takes the same stores as a hit (which writes the spare slot).
// Only taken candidates (`overflow`) and the rare sides of a miss
// (`afterMiss`) leave the loop: on photos hits and misses alternate too
// irregularly for branches on them to be predicted.
class Compressor {
public:
    Compressor(TStream& out, LzwContext& ctx, int32_t minCodeSize)
        : m_ctx(ctx), m_writer(out, ctx, minCodeSize), m_clearCode(1u << minCodeSize) {}

    void run(int32_t height, int32_t width, const uint8_t* pixels, bool interlaced) {
        LzwContext& ctx = m_ctx;
        // Indices beyond the depth would spill into the neighbouring code's bits.
        const uint32_t pixelMask = m_clearCode - 1;
        RowWalk rows(height, interlaced);
        int32_t row = rows.next();
        uint32_t prefix = pixels[static_cast<size_t>(row) * static_cast<size_t>(width)] & pixelMask;
        int32_t column = 1;
        clearTable();
        output(m_clearCode);

        // The counts live in locals here, away from the stores into the
        // tables, and go back to the members around the calls out.
        uint32_t nextCode = m_nextCode;
        int32_t pendingCount = m_pendingCount;
        auto callOut = [&](auto&& call) {
            m_nextCode = nextCode;
            m_pendingCount = pendingCount;
            call();
            nextCode = m_nextCode;
            pendingCount = m_pendingCount;
        };
        for (; row >= 0; row = rows.next(), column = 0) {
            const uint8_t* line = pixels + static_cast<size_t>(row) * static_cast<size_t>(width);
            for (int32_t x = column; x < width; ++x) {
                const uint32_t p = line[x] & pixelMask;
                const uint32_t key = (p << 12) | prefix;
                const uint32_t first = lookupStart(prefix, p);
                const uint32_t second = first ^ kSecondChoice;
                const uint32_t key1 = ctx.lookupKeys[first], key2 = ctx.lookupKeys[second];
                const uint32_t code1 = ctx.lookupCodes[first], code2 = ctx.lookupCodes[second];
                const bool hit1 = key1 == key, hit2 = key2 == key;
                uint32_t next = hit2 ? code2 : p;
                next = hit1 ? code1 : next;
                const bool miss = !(hit1 | hit2);
                if (miss & (key1 != kEmptyKey) & (key2 != kEmptyKey)) [[unlikely]] {
                    callOut([&] { prefix = overflow(prefix, key, first, p); });
                    continue;
                }
                // A miss emits the prefix and adds the string in the free
                // slot; a hit does the same to the spare slot and leaves the
                // counts as they were.
                uint32_t at = key1 == kEmptyKey ? first : second;
                at = miss ? at : kSpareSlot;
                ctx.lookupKeys[at] = key;
                ctx.lookupCodes[at] = static_cast<uint16_t>(nextCode);
                ctx.keyOfCode[nextCode] = key;
                ctx.pending[static_cast<size_t>(pendingCount)] = static_cast<uint16_t>(prefix);
                pendingCount += miss;
                nextCode += miss;
                const bool rare = (nextCode > kMaxCode + 1) | ((p << 4) == prefix) | m_table.followSlots |
                                  (pendingCount >= kPendingFlush);
                if (miss & rare) [[unlikely]]
                    callOut([&] { afterMiss(key, at); });
                prefix = next;
            }
        }
        m_nextCode = nextCode;
        m_pendingCount = pendingCount;

        output(prefix);
        output(m_clearCode + 1);
        m_writer.pack(ctx.pending.data(), m_pendingCount);
        m_writer.finish();
    }

private:
    void output(uint32_t code) { m_ctx.pending[static_cast<size_t>(m_pendingCount++)] = static_cast<uint16_t>(code); }

    // Neither choice holds the string and both are taken: it is further
    // along the stride, or missing. Returns the next prefix.
    [[gnu::noinline]] uint32_t overflow(uint32_t prefix, uint32_t key, uint32_t at, uint32_t pixel) {
        const uint32_t stride = lookupStride(pixel);
        do {
            at = (at + stride) & kLookupMask;
        } while (m_ctx.lookupKeys[at] != key && m_ctx.lookupKeys[at] != kEmptyKey);
        if (m_ctx.lookupKeys[at] == key) return m_ctx.lookupCodes[at];
        output(prefix);
        m_ctx.lookupKeys[at] = key;
        m_ctx.lookupCodes[at] = static_cast<uint16_t>(m_nextCode);
        m_ctx.keyOfCode[m_nextCode] = key;
        ++m_nextCode;
        afterMiss(key, at);
        return pixel;
    }

    // What a miss needs beyond the common case, once its prefix is out and
    // its string stored as code m_nextCode - 1.
    [[gnu::noinline]] void afterMiss(uint32_t key, uint32_t at) {
        if (m_nextCode > kMaxCode + 1) {
            // The table was full, so the string stored as 4096 is void: the
            // prefix is followed by a clear code and a new table.
            output(m_clearCode);
            clearTable();
        } else {
            // Only keys whose slot search starts at slot 0 can put key 0 at risk.
            if (m_table.followSlots || ((key >> 12) << 4) == (key & kMaxCode))
                followSlotTable(m_ctx, m_table, key, m_nextCode - 1);
            if (key == 0) m_table.zeroAt = at;
        }
        if (m_pendingCount >= kPendingFlush) {
            m_writer.pack(m_ctx.pending.data(), m_pendingCount);
            m_pendingCount = 0;
        }
    }

    void clearTable() {
        std::fill(m_ctx.lookupKeys.begin(), m_ctx.lookupKeys.end(), kEmptyKey);
        m_nextCode = m_clearCode + 2;
        m_table = TableState{m_nextCode};
    }

    LzwContext& m_ctx;
    CodeWriter m_writer;
    const uint32_t m_clearCode;
    uint32_t m_nextCode = 0;
    int32_t m_pendingCount = 0;
    TableState m_table;
};

}  // namespace

void EncodeGifLzw(TStream& out, int32_t height, int32_t width, int32_t bits, const uint8_t* pixels, bool interlaced) {
    // Indices are bytes, so 8 bits always suffice; GIF needs at least 2.
    const int32_t minCodeSize = std::clamp(bits, 2, 8);
    auto ctx = std::make_unique<LzwContext>();
    if (height <= 0 || width <= 0 || pixels == nullptr) {
        // No pixels: still a well-formed stream, a clear code and the end code.
        const uint16_t codes[] = {static_cast<uint16_t>(1u << minCodeSize), static_cast<uint16_t>((1u << minCodeSize) + 1)};
        CodeWriter writer(out, *ctx, minCodeSize);
        writer.pack(codes, 2);
        writer.finish();
        return;
    }
    Compressor(out, *ctx, minCodeSize).run(height, width, pixels, interlaced);
}

}  // namespace loopsmith
