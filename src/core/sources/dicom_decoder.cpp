#include "sources/dicom_decoder.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmimage/diregist.h>  // colour images: registers itself
#include <dcmtk/dcmimgle/dcmimage.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/oflog/oflog.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "sources/decoder_support.h"
#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr size_t kMaxFileBytes = size_t{1} << 30;
// A compressed frame may be far smaller than its pixels, but not without
// bound: flat RLE runs reach 64 samples a byte, JPEG a few hundred.
constexpr uint64_t kMaxSamplesPerByte = 1024;
constexpr uint64_t kSmallImageSamples = uint64_t{1} << 22;

// The codecs and the silence are process-wide in DCMTK; set them up once.
void prepareLibrary() {
    static const bool ready = [] {
        OFLog::configure(OFLogger::OFF_LOG_LEVEL);
        DcmRLEDecoderRegistration::registerCodecs();
        DJDecoderRegistration::registerCodecs();
        DJLSDecoderRegistration::registerCodecs();
        return true;
    }();
    (void)ready;
}

// ---- lengths the file can back ------------------------------------------------------

// DCMTK sizes an element's buffer by its declared length before it reads
// the value, so a few hostile bytes could reserve gigabytes. This walk
// follows the elements the way DCMTK will and checks each declared length
// against the bytes that remain.
class LengthCheck {
public:
    explicit LengthCheck(std::span<const uint8_t> bytes) : m_bytes(bytes) {}

    bool run() {
        m_pos = hasPreamble() ? 132 : 0;
        m_explicit = looksExplicit();
        while (m_pos + 8 <= m_bytes.size()) {
            if (m_inMeta && group() != 0x0002 && !enterDataset()) return true;
            if (!element()) return false;
        }
        return true;
    }

private:
    static constexpr uint32_t kUndefined = 0xFFFFFFFF;

    bool hasPreamble() const { return m_bytes.size() >= 132 && std::memcmp(m_bytes.data() + 128, "DICM", 4) == 0; }

    bool looksExplicit() const {
        if (m_pos + 6 > m_bytes.size()) return true;
        return std::isupper(m_bytes[m_pos + 4]) && std::isupper(m_bytes[m_pos + 5]);
    }

    uint16_t u16(size_t at) const {
        const bool big = m_bigEndian && !m_inMeta;
        return big ? static_cast<uint16_t>(m_bytes[at] << 8 | m_bytes[at + 1])
                   : static_cast<uint16_t>(m_bytes[at] | m_bytes[at + 1] << 8);
    }
    uint32_t u32(size_t at) const {
        const bool big = m_bigEndian && !m_inMeta;
        return big ? uint32_t{u16(at)} << 16 | u16(at + 2) : u16(at) | uint32_t{u16(at + 2)} << 16;
    }
    uint16_t group() const { return u16(m_pos); }

    // The meta group ends: the rest follows its transfer syntax. A deflated
    // data set cannot be walked here; DCMTK inflates it chunk by chunk.
    bool enterDataset() {
        m_inMeta = false;
        if (m_syntax == "1.2.840.10008.1.2.1.99") return false;
        if (m_syntax == "1.2.840.10008.1.2") m_explicit = false;
        if (m_syntax == "1.2.840.10008.1.2.2") m_bigEndian = true;
        if (m_syntax.empty()) m_explicit = looksExplicit();
        return true;
    }

    static bool hasLongLength(const uint8_t* vr) {
        static constexpr const char* kLong[] = {"OB", "OW", "OF", "OD", "OL", "OV", "SQ", "UT", "UN", "UC", "UR", "SV", "UV"};
        return std::any_of(std::begin(kLong), std::end(kLong), [vr](const char* v) { return vr[0] == v[0] && vr[1] == v[1]; });
    }

    bool element() {
        const uint16_t g = group(), e = u16(m_pos + 2);
        if (g == 0xFFFE) return itemMark(e);
        const bool explicitVr = m_explicit || m_inMeta;
        const uint8_t* vr = m_bytes.data() + m_pos + 4;
        uint32_t length = 0;
        size_t header = 8;
        if (!explicitVr) {
            length = u32(m_pos + 4);
        } else if (hasLongLength(vr)) {
            if (m_pos + 12 > m_bytes.size()) return false;
            length = u32(m_pos + 8);
            header = 12;
        } else {
            length = u16(m_pos + 6);
        }
        const bool sequence = explicitVr && vr[0] == 'S' && vr[1] == 'Q';
        m_pos += header;
        if (length == kUndefined) {
            // Compressed pixel data: items hold fragments, not elements.
            if (g == 0x7FE0 && e == 0x0010) m_inFragments = true;
            return true;
        }
        if (length > m_bytes.size() - m_pos) return false;
        if (g == 0x0002 && e == 0x0010) readSyntax(length);
        // A sequence's items are walked in turn; implicit VR shows one by its first item.
        if (sequence || (!explicitVr && length >= 4 && u16(m_pos) == 0xFFFE && u16(m_pos + 2) == 0xE000)) return true;
        m_pos += length;
        return true;
    }

    bool itemMark(uint16_t e) {
        const uint32_t length = u32(m_pos + 4);
        m_pos += 8;
        if (e == 0xE0DD) m_inFragments = false;
        if (e != 0xE000 || length == kUndefined) return true;
        if (length > m_bytes.size() - m_pos) return false;
        if (m_inFragments) m_pos += length;
        return true;
    }

    void readSyntax(uint32_t length) {
        m_syntax.assign(reinterpret_cast<const char*>(m_bytes.data() + m_pos), length);
        while (!m_syntax.empty() && (m_syntax.back() == '\0' || m_syntax.back() == ' ')) m_syntax.pop_back();
    }

    std::span<const uint8_t> m_bytes;
    size_t m_pos = 0;
    bool m_inMeta = true, m_explicit = true, m_bigEndian = false, m_inFragments = false;
    std::string m_syntax;
};

// ---- the file through DCMTK ------------------------------------------------------------

bool parseFile(std::span<const uint8_t> bytes, DcmFileFormat& file) {
    if (!LengthCheck(bytes).run()) return false;
    DcmInputBufferStream in;
    // DCMTK only reads through this pointer.
    in.setBuffer(const_cast<uint8_t*>(bytes.data()), static_cast<offile_off_t>(bytes.size()));
    in.setEos();
    file.transferInit();
    const OFCondition status = file.read(in, EXS_Unknown, EGL_noChange, DCM_MaxReadLength);
    file.transferEnd();
    return status.good();
}

// What the header says, before DCMTK is asked for any pixel.
struct Header {
    uint16_t rows = 0, columns = 0, samples = 1, bitsAllocated = 0, bitsStored = 0;
    int32_t frames = 1;
    double rowSpacing = 0, columnSpacing = 0;  // millimetres
};

bool readHeader(DcmDataset& data, Header& h) {
    if (data.findAndGetUint16(DCM_Rows, h.rows).bad() || data.findAndGetUint16(DCM_Columns, h.columns).bad() ||
        data.findAndGetUint16(DCM_BitsAllocated, h.bitsAllocated).bad())
        return false;
    data.findAndGetUint16(DCM_SamplesPerPixel, h.samples);
    if (data.findAndGetUint16(DCM_BitsStored, h.bitsStored).bad()) h.bitsStored = h.bitsAllocated;
    Sint32 frames = 1;
    if (data.findAndGetSint32(DCM_NumberOfFrames, frames).good()) h.frames = std::max<Sint32>(frames, 1);
    Float64 spacing = 0;
    if (data.findAndGetFloat64(DCM_PixelSpacing, spacing, 0).good()) h.rowSpacing = spacing;
    if (data.findAndGetFloat64(DCM_PixelSpacing, spacing, 1).good()) h.columnSpacing = spacing;
    return h.rows > 0 && h.columns > 0 && (h.samples == 1 || h.samples == 3) && h.bitsAllocated >= 1 &&
           h.bitsAllocated <= 32 && h.bitsStored >= 1 && h.bitsStored <= h.bitsAllocated;
}

// The frames must fit in the pixel data: whole in a native file, one
// fragment at least each in a compressed one, within a sane ratio.
bool pixelDataJustifies(DcmDataset& data, const Header& h) {
    const uint64_t pixels = uint64_t{h.rows} * h.columns;
    if (pixels > static_cast<uint64_t>(kDicomMaxPixels)) return false;
    DcmElement* element = nullptr;
    if (data.findAndGetElement(DCM_PixelData, element).bad() || !element) return false;
    const uint64_t frameBits = pixels * h.samples * h.bitsAllocated;
    const DcmXfer xfer(data.getOriginalXfer());
    if (!xfer.isEncapsulated())
        return (frameBits * static_cast<uint64_t>(h.frames) + 7) / 8 <= element->getLength();
    auto* pixelData = static_cast<DcmPixelData*>(element);
    DcmPixelSequence* sequence = nullptr;
    if (pixelData->getEncapsulatedRepresentation(xfer.getXfer(), nullptr, sequence).bad() || !sequence) return false;
    const unsigned long fragments = sequence->card();  // the first item is the offset table
    uint64_t bytes = 0;
    for (unsigned long i = 1; i < fragments; ++i) {
        DcmPixelItem* item = nullptr;
        if (sequence->getItem(item, i).good() && item) bytes += item->getLength();
    }
    const uint64_t samples = pixels * h.samples;
    return fragments > static_cast<unsigned long>(h.frames) &&
           samples <= std::max(kSmallImageSamples, bytes / static_cast<uint64_t>(h.frames) * kMaxSamplesPerByte);
}

int32_t dotsPerInch(double millimetres, int32_t fallback) {
    if (!(millimetres > 0)) return fallback;
    const double dpi = std::round(25.4 / millimetres);
    return dpi >= 1 && dpi <= 65535 ? static_cast<int32_t>(dpi) : fallback;
}

void fillParams(const Header& h, TIOParams& params) {
    params.ImageWidth = params.OriginalWidth = h.columns;
    params.ImageHeight = params.OriginalHeight = h.rows;
    params.ChannelBits = h.bitsStored;
    params.ChannelCount = h.samples;
    params.DotsPerInchX = dotsPerInch(h.columnSpacing, params.DotsPerInchX);
    params.DotsPerInchY = dotsPerInch(h.rowSpacing, params.DotsPerInchY);
    params.SetImageCount(h.frames);
}

// The file's own window where it has one; deep samples without one are
// stretched over their range, as viewers show them, 8-bit ones kept.
void chooseWindow(DicomImage& frame) {
    if (frame.getWindowCount() > 0)
        frame.setWindow(0);
    else if (frame.getDepth() > 8)
        frame.setMinMaxWindow();
    else
        frame.setNoVoiTransformation();
}

bool storeFrame(DicomImage& frame, TRaster& out) {
    const bool grey = frame.isMonochrome();
    if (grey) chooseWindow(frame);
    const auto* samples = static_cast<const uint8_t*>(frame.getOutputData(8, 0, 0));
    const auto w = static_cast<int32_t>(frame.getWidth()), h = static_cast<int32_t>(frame.getHeight());
    const size_t perPixel = grey ? 1 : 3;
    if (!samples || w <= 0 || h <= 0 || frame.getOutputDataSize(8) < static_cast<size_t>(w) * h * perPixel) return false;
    out.Allocate(w, h, grey ? px8g : px24RGB);
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* src = samples + static_cast<size_t>(y) * w * perPixel;
        uint8_t* line = out.Scanline(y);
        if (grey) {
            std::copy_n(src, w, line);
            continue;
        }
        for (int32_t x = 0; x < w; ++x) {
            line[3 * x] = src[3 * x + 2];
            line[3 * x + 1] = src[3 * x + 1];
            line[3 * x + 2] = src[3 * x];
        }
    }
    return true;
}

bool decodeInto(std::span<const uint8_t> bytes, TRaster& out, TIOParams& params, bool paramsOnly) {
    prepareLibrary();
    DcmFileFormat file;
    if (!parseFile(bytes, file) || !file.getDataset()) return false;
    DcmDataset& data = *file.getDataset();
    Header header;
    if (!readHeader(data, header) || !pixelDataJustifies(data, header)) return false;
    const int32_t index = params.DICOMImageIndex;
    if (index < 0 || index >= header.frames) return false;
    fillParams(header, params);
    if (paramsOnly) return true;
    DicomImage frame(&file, data.getOriginalXfer(), CIF_UsePartialAccessToPixelData, static_cast<unsigned long>(index), 1);
    return frame.getStatus() == EIS_Normal && storeFrame(frame, out);
}

void readDicomImage(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    ReadDicomStream(stream, image, params, ctx, paramsOnly);
}

}  // namespace

void ReadDicomStream(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    RunGuarded(ctx, [&] {
        const int64_t left = stream.Size() - stream.Position();
        if (left <= 0 || static_cast<uint64_t>(left) > kMaxFileBytes) return false;
        std::vector<uint8_t> holder;
        const std::span<const uint8_t> data = RemainingBytes(stream, holder);
        return !data.empty() && decodeInto(data, image, params, paramsOnly);
    });
    if (ctx.AbortFlag) image.Clear();
}

const TImageReader& DicomImageReader() {
    static const TImageReader reader{readDicomImage};
    return reader;
}

}  // namespace loopsmith
