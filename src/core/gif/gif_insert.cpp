#include "gif/gif_insert.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "gif/gif_blocks.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr size_t kHeaderSize = 13;  // signature and logical screen descriptor

bool startsWithGif(const TByteBuffer& bytes) { return bytes.size() >= 3 && std::memcmp(bytes.data(), "GIF", 3) == 0; }

size_t globalTableSize(const uint8_t* screen) { return screen[10] & 0x80 ? 3u << ((screen[10] & 7) + 1) : 0; }

// Walks the blocks after the global colour table, copying them into `out`
// when it is given. Every read past the end is handled as the GIF rules of
// this walk say: the trailer at block level, the end of an extension, a
// broken image inside an image.
class TBlockWalker {
public:
    TBlockWalker(const TByteBuffer& file, size_t position, TByteBuffer* out)
        : m_file(file), m_pos(position), m_out(out) {}

    // The next block's first byte; the trailer once the file has ended.
    uint8_t NextBlock() { return m_pos < m_file.size() ? m_file[m_pos++] : 0x3B; }

    // Label and sub-blocks of an extension whose 0x21 has been read.
    std::optional<uint8_t> ReadLabel() {
        emit(0x21);
        if (m_pos >= m_file.size()) return std::nullopt;
        uint8_t label = m_file[m_pos++];
        emit(label);
        return label;
    }
    void CopySubBlocks() { copySubBlocks(); }

    // Descriptor, local table, code size and data of an image whose 0x2C
    // has been read; false when the file ends inside it.
    bool CopyImage() {
        emit(0x2C);
        if (!copyBytes(9)) return false;
        const uint8_t packed = m_file[m_pos - 1];
        if ((packed & 0x80) && !copyBytes(3u << ((packed & 7) + 1))) return false;
        if (!copyBytes(1)) return false;
        return copySubBlocks();
    }

private:
    void emit(uint8_t byte) {
        if (m_out) m_out->push_back(byte);
    }
    // Copies up to n bytes; false when fewer were left.
    bool copyBytes(size_t n) {
        size_t available = std::min(n, m_file.size() - m_pos);
        if (m_out) m_out->insert(m_out->end(), m_file.begin() + m_pos, m_file.begin() + m_pos + available);
        m_pos += available;
        return available == n;
    }
    bool copySubBlocks() {
        for (;;) {
            if (m_pos >= m_file.size()) return false;
            uint8_t length = m_file[m_pos++];
            emit(length);
            if (length == 0) return true;
            if (!copyBytes(length)) return false;
        }
    }

    const TByteBuffer& m_file;
    size_t m_pos;
    TByteBuffer* m_out;
};

}  // namespace

TByteBuffer ReadRestOfStream(TStream& stream) {
    TByteBuffer bytes;
    int64_t left = stream.Size() - stream.Position();
    if (left > 0) {
        bytes.resize(static_cast<size_t>(left));
        bytes.resize(stream.Read(bytes.data(), bytes.size()));
    }
    return bytes;
}

TByteBuffer BuildInsertedFrame(const TGifFrame& frame, const TIOParams& params, TProgressContext& ctx) {
    TMemoryStream out;
    TByteBuffer blocks;
    AppendGraphicControl(blocks, params, frame.TransparentIndex(params));
    AppendImageDescriptor(blocks, params, frame.Working().Width(), frame.Working().Height(), frame.Bits());
    frame.AppendColourTable(blocks);
    out.Write(blocks);
    if (!EncodeGifImageData(out, frame, params)) ctx.AbortFlag = true;
    return std::move(out.bytes());
}

int32_t InsertGifFrameIntoStream(TStream& stream, const TRaster& image, TIOParams& params, TProgressContext& ctx) {
    ctx.Report(0);
    if (ctx.AbortFlag) return 0;
    const int64_t start = stream.Position();
    int32_t k = params.GifImageIndex;

    TByteBuffer file = ReadRestOfStream(stream);
    if (file.size() < kHeaderSize || !startsWithGif(file)) {
        ctx.AbortFlag = false;
        return 0;
    }
    if (image.IsEmpty() || image.Width() > 65535 || image.Height() > 65535) {
        ctx.AbortFlag = true;
        return 0;
    }
    std::memcpy(file.data() + 3, "89a", 3);
    size_t headEnd = std::min(file.size(), kHeaderSize + globalTableSize(file.data()));
    TByteBuffer out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(headEnd));

    TGifFrame frame(image, params, /*forInsertion=*/true);
    if (frame.HasAlpha()) params.GifTransparent = true;
    ctx.Report(30);
    if (ctx.AbortFlag) return 0;

    auto insertHere = [&] {
        TByteBuffer blocks = BuildInsertedFrame(frame, params, ctx);
        out.insert(out.end(), blocks.begin(), blocks.end());
        k = -1;
    };

    int32_t i = 0;
    TBlockWalker walker(file, headEnd, &out);
    for (bool done = false; !done && !ctx.AbortFlag;) {
        switch (walker.NextBlock()) {
            case 0x21: {
                std::optional<uint8_t> label = walker.ReadLabel();
                if (!label) break;
                if (*label == 0xF9 && i == k) {
                    // The new frame goes in front of this graphic control block.
                    out.pop_back();
                    out.pop_back();
                    insertHere();
                    ++i;
                    out.insert(out.end(), {0x21, 0xF9});
                }
                walker.CopySubBlocks();
                break;
            }
            case 0x2C:
                if (!walker.CopyImage()) ctx.AbortFlag = true;
                ++i;
                if (i == k) {
                    ctx.Report(70);
                    if (ctx.AbortFlag) return 0;
                    insertHere();
                    ++i;
                }
                break;
            case 0x3B:
                if (i == k) {
                    insertHere();
                    ++i;
                }
                out.push_back(0x3B);
                done = true;
                break;
            default: break;  // stray bytes between blocks are dropped
        }
    }

    stream.Seek(start);
    if (stream.Write(out.data(), out.size()) < out.size()) ctx.AbortFlag = true;
    stream.SetSize(start + static_cast<int64_t>(out.size()));
    if (!ctx.AbortFlag) ctx.Report(100);
    return i;
}

void WriteLoopExtension(const std::filesystem::path& fileName, int32_t loopCount, int32_t screenWidth,
                        int32_t screenHeight) {
    TByteBuffer file;
    {
        TFileStream in(fileName, TFileMode::Read);
        file = ReadRestOfStream(in);
    }
    if (file.size() < 3 || !startsWithGif(file)) return;
    if (file.size() < kHeaderSize) return;
    std::memcpy(file.data() + 3, "89a", 3);
    auto grow = [&file](size_t at, int32_t wanted) {
        uint16_t current = static_cast<uint16_t>(file[at] | (file[at + 1] << 8));
        uint16_t size = std::max(current, ClampToUInt16(wanted));
        file[at] = static_cast<uint8_t>(size & 0xFF);
        file[at + 1] = static_cast<uint8_t>(size >> 8);
    };
    grow(6, screenWidth);
    grow(8, screenHeight);

    size_t p = std::min(file.size(), kHeaderSize + globalTableSize(file.data()));
    TByteBuffer out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(p));
    static const uint8_t kExisting[] = {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
    // A loop extension already here is dropped: its fixed 19 bytes.
    if (file.size() >= p + sizeof kExisting && std::memcmp(file.data() + p, kExisting, sizeof kExisting) == 0)
        p = std::min(file.size(), p + 19);
    AppendLoopExtension(out, static_cast<uint16_t>(loopCount));
    out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(p), file.end());

    TFileStream rewrite(fileName, TFileMode::Create);
    rewrite.Write(out.data(), out.size());
}

int32_t CountGifImages(const std::filesystem::path& fileName) {
    TByteBuffer file;
    try {
        TFileStream in(fileName, TFileMode::Read);
        file = ReadRestOfStream(in);
    } catch (const EFileError&) {
        return 0;
    }
    if (file.size() < kHeaderSize || !startsWithGif(file)) return 0;
    int32_t count = 0;
    TBlockWalker walker(file, std::min(file.size(), kHeaderSize + globalTableSize(file.data())), nullptr);
    for (;;) {
        switch (walker.NextBlock()) {
            case 0x21:
                if (walker.ReadLabel()) walker.CopySubBlocks();
                break;
            case 0x2C:
                ++count;
                if (!walker.CopyImage()) return count;
                break;
            case 0x3B: return count;
            default: break;
        }
    }
}

}  // namespace loopsmith
