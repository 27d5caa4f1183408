#pragma once
// Builds GIF files in memory with giflib's encoder, an independent writer,
// and assembles raw LZW code streams bit by bit for the decoder's cases.

#include <gif_lib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/raster.h"

namespace loopsmith::test {

struct FrameRecipe {
    int left = 0, top = 0, width = 0, height = 0;
    std::vector<uint8_t> indices;  // rows in display order
    std::vector<TRGB> localTable;  // power-of-two size; empty for none
    bool interlaced = false;
    bool control = true;  // write a graphic control extension
    int disposal = 0;
    int transparent = -1;
    int delayCs = 0;
};

struct GifRecipe {
    int screenWidth = 0, screenHeight = 0;
    int background = 0;
    std::vector<TRGB> globalTable;  // power-of-two size; empty for none
    std::vector<std::string> comments;
    std::vector<FrameRecipe> frames;
};

inline int appendToVector(GifFileType* gif, const GifByteType* data, int n) {
    auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
    out->insert(out->end(), data, data + n);
    return n;
}

inline ColorMapObject* makeColourMap(const std::vector<TRGB>& table) {
    if (table.empty()) return nullptr;
    std::vector<GifColorType> colours;
    for (TRGB c : table) colours.push_back(GifColorType{c.r, c.g, c.b});
    return GifMakeMapObject(static_cast<int>(colours.size()), colours.data());
}

// Row order of an interlaced image as it is stored.
inline std::vector<int> interlacedRowOrder(int height) {
    std::vector<int> rows;
    const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4; ++pass)
        for (int y = start[pass]; y < height; y += step[pass]) rows.push_back(y);
    return rows;
}

// An empty vector when giflib refuses the input.
inline std::vector<uint8_t> BuildGif(const GifRecipe& recipe) {
    std::vector<uint8_t> out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, appendToVector, &error);
    if (!gif) return {};
    EGifSetGifVersion(gif, true);
    ColorMapObject* global = makeColourMap(recipe.globalTable);
    bool ok = EGifPutScreenDesc(gif, recipe.screenWidth, recipe.screenHeight, 8, recipe.background, global) == GIF_OK;
    for (const std::string& c : recipe.comments) ok = ok && EGifPutComment(gif, c.c_str()) == GIF_OK;
    for (const FrameRecipe& f : recipe.frames) {
        if (f.control) {
            GraphicsControlBlock gcb{};
            gcb.DisposalMode = f.disposal;
            gcb.DelayTime = f.delayCs;
            gcb.TransparentColor = f.transparent;
            GifByteType ext[4];
            size_t n = EGifGCBToExtension(&gcb, ext);
            ok = ok && EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, static_cast<int>(n), ext) == GIF_OK;
        }
        ColorMapObject* local = makeColourMap(f.localTable);
        // giflib keeps its copy of the last local table and drops it
        // without freeing when an image without one follows.
        if (!local && gif->Image.ColorMap) {
            GifFreeMapObject(gif->Image.ColorMap);
            gif->Image.ColorMap = nullptr;
        }
        ok = ok && EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlaced, local) == GIF_OK;
        std::vector<int> rows;
        if (f.interlaced) rows = interlacedRowOrder(f.height);
        else
            for (int y = 0; y < f.height; ++y) rows.push_back(y);
        std::vector<GifPixelType> line(static_cast<size_t>(f.width));
        for (int y : rows) {
            std::copy_n(f.indices.begin() + static_cast<ptrdiff_t>(y) * f.width, f.width, line.begin());
            ok = ok && EGifPutLine(gif, line.data(), f.width) == GIF_OK;
        }
        if (local) GifFreeMapObject(local);
    }
    ok = EGifCloseFile(gif, &error) == GIF_OK && ok;
    if (global) GifFreeMapObject(global);
    return ok ? out : std::vector<uint8_t>{};
}

// Codes packed least significant bit first, as GIF image data holds them.
class CodeWriter {
public:
    void put(uint32_t code, int width) {
        m_acc |= uint64_t{code} << m_bits;
        m_bits += width;
        while (m_bits >= 8) {
            m_bytes.push_back(static_cast<uint8_t>(m_acc));
            m_acc >>= 8;
            m_bits -= 8;
        }
    }
    std::vector<uint8_t> finish() {
        if (m_bits > 0) m_bytes.push_back(static_cast<uint8_t>(m_acc));
        m_acc = 0;
        m_bits = 0;
        return m_bytes;
    }

private:
    std::vector<uint8_t> m_bytes;
    uint64_t m_acc = 0;
    int m_bits = 0;
};

// Image data: the minimum code size byte, sub-blocks of at most
// `blockSize` bytes and, unless left out, the 0 terminator.
inline std::vector<uint8_t> ImageData(int minCodeSize, const std::vector<uint8_t>& codes, size_t blockSize = 255,
                                      bool terminator = true) {
    std::vector<uint8_t> out{static_cast<uint8_t>(minCodeSize)};
    for (size_t i = 0; i < codes.size(); i += blockSize) {
        size_t n = std::min(blockSize, codes.size() - i);
        out.push_back(static_cast<uint8_t>(n));
        out.insert(out.end(), codes.begin() + static_cast<ptrdiff_t>(i), codes.begin() + static_cast<ptrdiff_t>(i + n));
    }
    if (terminator) out.push_back(0);
    return out;
}

// Offsets of each image's minimum code size byte, found by a plain walk
// of the blocks of a well-formed file.
inline std::vector<size_t> ImageDataOffsets(const std::vector<uint8_t>& b) {
    std::vector<size_t> out;
    size_t p = 13;
    if (b[10] & 0x80) p += 3u << ((b[10] & 7) + 1);
    auto skipBlocks = [&] {
        while (p < b.size() && b[p] != 0) p += b[p] + 1u;
        ++p;
    };
    while (p < b.size() && b[p] != 0x3B) {
        if (b[p] == 0x21) {
            p += 2;
            skipBlocks();
        } else if (b[p] == 0x2C) {
            uint8_t packed = b[p + 9];
            p += 10;
            if (packed & 0x80) p += 3u << ((packed & 7) + 1);
            out.push_back(p);
            ++p;
            skipBlocks();
        } else {
            ++p;
        }
    }
    return out;
}

// A small deterministic generator for test pictures.
class Lcg {
public:
    explicit Lcg(uint32_t seed) : m_state(seed * 2654435761u + 12345u) {}
    uint32_t next() {
        m_state = m_state * 1664525u + 1013904223u;
        return m_state >> 8;
    }

private:
    uint32_t m_state;
};

// Indices below 2^bits: `noise` gives near-random data that fills the
// code table again and again; otherwise runs and repeats that build long
// strings.
inline std::vector<uint8_t> TestIndices(int width, int height, int bits, bool noise, uint32_t seed = 7) {
    Lcg rng(seed);
    std::vector<uint8_t> v(static_cast<size_t>(width) * static_cast<size_t>(height));
    const uint32_t colours = 1u << bits;
    for (size_t i = 0; i < v.size(); ++i) {
        if (noise) v[i] = static_cast<uint8_t>(rng.next() % colours);
        else v[i] = static_cast<uint8_t>(((i % static_cast<size_t>(width)) / 5 + (i / static_cast<size_t>(width)) / 3 +
                                          (rng.next() % 16 == 0 ? 1 : 0)) % colours);
    }
    return v;
}

inline std::vector<TRGB> TestTable(int bits, uint32_t seed = 3) {
    Lcg rng(seed);
    std::vector<TRGB> t(size_t{1} << bits);
    for (TRGB& c : t) c = MakeRGB(uint8_t(rng.next()), uint8_t(rng.next()), uint8_t(rng.next()));
    return t;
}

}  // namespace loopsmith::test
