#include "sources/dicom_decoder.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrma.h>
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
#include <cmath>
#include <string_view>
#include <vector>

#include "sources/decoder_support.h"
#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

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

// ---- DCMTK reading our stream ------------------------------------------------------------

// DCMTK reads the file through these straight from our stream. Values above
// kMaxLoadedValue stay in the stream until used, so the pixel data of a
// multi-frame file is read one frame at a time, and no declared length
// makes DCMTK reserve memory up front.
constexpr Uint32 kMaxLoadedValue = 4096;

class StreamProducer final : public DcmProducer {
public:
    StreamProducer(TStream& stream, int64_t start) : m_stream(stream), m_pos(start), m_start(start), m_end(stream.Size()) {}

    OFBool good() const override { return m_status.good(); }
    OFCondition status() const override { return m_status; }
    OFBool eos() override { return m_pos >= m_end; }
    offile_off_t avail() override { return static_cast<offile_off_t>(m_end - m_pos); }

    offile_off_t read(void* buffer, offile_off_t length) override {
        const int64_t wanted = std::min<int64_t>(length, m_end - m_pos);
        if (wanted <= 0) return 0;
        // Several DCMTK streams may share our stream; each keeps its own place.
        m_stream.Seek(m_pos);
        const auto got = static_cast<int64_t>(m_stream.Read(buffer, static_cast<size_t>(wanted)));
        if (got < wanted) m_status = EC_InvalidStream;
        m_pos += got;
        return static_cast<offile_off_t>(got);
    }

    offile_off_t skip(offile_off_t length) override {
        const int64_t n = std::clamp<int64_t>(length, 0, m_end - m_pos);
        m_pos += n;
        return static_cast<offile_off_t>(n);
    }

    void putback(offile_off_t count) override {
        m_pos = std::max<int64_t>(m_start, m_pos - static_cast<int64_t>(count));
    }

private:
    TStream& m_stream;
    int64_t m_pos, m_start, m_end;
    OFCondition m_status = EC_Normal;
};

class StreamInput final : public DcmInputStream {
public:
    StreamInput(TStream& stream, int64_t start) : DcmInputStream(&m_producer), m_producer(stream, start), m_stream(stream), m_start(start) {}

    DcmInputStreamFactory* newFactory() const override;

private:
    StreamProducer m_producer;
    TStream& m_stream;
    int64_t m_start;
};

// Reopens the stream where a value was left for later.
class StreamInputFactory final : public DcmInputStreamFactory {
public:
    StreamInputFactory(TStream& stream, int64_t offset) : m_stream(stream), m_offset(offset) {}

    DcmInputStream* create() const override { return new StreamInput(m_stream, m_offset); }
    DcmInputStreamFactory* clone() const override { return new StreamInputFactory(m_stream, m_offset); }
    DcmInputStreamFactoryType ident() const override { return DFT_DcmInputFileStreamFactory; }

private:
    TStream& m_stream;
    int64_t m_offset;
};

DcmInputStreamFactory* StreamInput::newFactory() const { return new StreamInputFactory(m_stream, m_start + tell()); }

bool parseFile(TStream& stream, DcmFileFormat& file) {
    StreamInput in(stream, stream.Position());
    file.transferInit();
    const OFCondition status = file.read(in, EXS_Unknown, EGL_noChange, kMaxLoadedValue);
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

// An RLE fragment opens with its segment count and the segments' offsets.
// DCMTK's decoder follows the offsets unchecked, so they are checked here:
// at most 15 segments, the first right after the header, none going back,
// none past the fragment.
bool rleHeaderSound(DcmPixelItem& fragment) {
    constexpr Uint32 kHeaderBytes = 64;
    const Uint32 length = fragment.getLength();
    Uint32 header[16] = {};
    if (length < kHeaderBytes || fragment.getPartialValue(header, 0, kHeaderBytes, nullptr, EBO_LittleEndian).bad())
        return false;
    const Uint32 segments = header[0];
    if (segments < 1 || segments > 15 || header[1] != kHeaderBytes) return false;
    for (Uint32 i = 1; i <= segments; ++i)
        if (header[i] > length || (i > 1 && header[i] < header[i - 1])) return false;
    return true;
}

// DCMTK finds a JPEG fragment's sample precision by stepping over markers,
// and never steps past a TEM marker: the scan does not end. A segment
// length that wraps its 16-bit step would do the same. Such fragments are
// refused here; the walk stops where DCMTK's stops.
bool jpegMarkersSound(DcmPixelItem& fragment) {
    Uint8* data = nullptr;
    if (fragment.getUint8Array(data).bad()) return false;
    const Uint32 length = fragment.getLength();
    if (!data) return length == 0;
    auto u16 = [data](Uint32 at) { return static_cast<Uint32>(data[at] << 8 | data[at + 1]); };
    for (Uint32 at = 0; at + 4 < length;) {
        const Uint32 marker = u16(at);
        const bool frameHeader = marker >= 0xFFC0 && marker <= 0xFFCF && marker != 0xFFC4 && marker != 0xFFC8 && marker != 0xFFCC;
        if (frameHeader) return true;
        if (marker == 0xFF01) return false;
        if (marker == 0xFFD8 || marker == 0xFFD9 || (marker >= 0xFFD0 && marker <= 0xFFD7)) {
            at += 2;
            continue;
        }
        if (data[at] != 0xFF || data[at + 1] <= 0xBF || data[at + 1] == 0xFF) return true;
        const Uint32 segment = u16(at + 2);
        if (segment >= 0xFFFE) return false;
        at += segment + 2;
    }
    return true;
}

bool isJpegSyntax(const DcmXfer& xfer) {
    // 1.2.840.10008.1.2.4.50 to .4.70; JPEG-LS (.80) and JPEG 2000 (.90) have other decoders.
    const std::string_view uid = xfer.getXferID();
    constexpr std::string_view kFamily = "1.2.840.10008.1.2.4.";
    if (uid.size() != kFamily.size() + 2 || uid.substr(0, kFamily.size()) != kFamily) return false;
    const std::string_view number = uid.substr(kFamily.size());
    return number >= "50" && number <= "70";
}

// The frames must fit in the pixel data: whole in a native file, one
// fragment at least each in a compressed one, within a sane ratio, and no
// value may claim more than the file holds.
bool nativeDataJustifies(DcmElement& element, const Header& h, uint64_t fileBytes) {
    const uint64_t frameBits = uint64_t{h.rows} * h.columns * h.samples * h.bitsAllocated;
    const uint64_t needed = (frameBits * static_cast<uint64_t>(h.frames) + 7) / 8;
    return element.getLength() <= fileBytes && needed <= element.getLength();
}

bool fragmentsJustify(DcmPixelData& pixelData, const DcmXfer& xfer, const Header& h, uint64_t fileBytes) {
    DcmPixelSequence* sequence = nullptr;
    if (pixelData.getEncapsulatedRepresentation(xfer.getXfer(), nullptr, sequence).bad() || !sequence) return false;
    const unsigned long fragments = sequence->card();  // the first item is the offset table
    if (fragments <= static_cast<unsigned long>(h.frames)) return false;
    uint64_t bytes = 0;
    for (unsigned long i = 1; i < fragments; ++i) {
        DcmPixelItem* item = nullptr;
        if (sequence->getItem(item, i).bad() || !item) return false;
        if (xfer.getXfer() == EXS_RLELossless && !rleHeaderSound(*item)) return false;
        if (isJpegSyntax(xfer) && !jpegMarkersSound(*item)) return false;
        bytes += item->getLength();
    }
    const uint64_t samples = uint64_t{h.rows} * h.columns * h.samples;
    return bytes <= fileBytes &&
           samples <= std::max(kSmallImageSamples, bytes / static_cast<uint64_t>(h.frames) * kMaxSamplesPerByte);
}

bool pixelDataJustifies(DcmDataset& data, const Header& h, uint64_t fileBytes) {
    if (uint64_t{h.rows} * h.columns > static_cast<uint64_t>(kDicomMaxPixels)) return false;
    DcmElement* element = nullptr;
    if (data.findAndGetElement(DCM_PixelData, element).bad() || !element) return false;
    const DcmXfer xfer(data.getOriginalXfer());
    if (!xfer.isEncapsulated()) return nativeDataJustifies(*element, h, fileBytes);
    return fragmentsJustify(*static_cast<DcmPixelData*>(element), xfer, h, fileBytes);
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

bool decodeInto(TStream& stream, TRaster& out, TIOParams& params, bool paramsOnly) {
    prepareLibrary();
    const auto fileBytes = static_cast<uint64_t>(stream.Size() - stream.Position());
    DcmFileFormat file;
    if (!parseFile(stream, file) || !file.getDataset()) return false;
    DcmDataset& data = *file.getDataset();
    Header header;
    if (!readHeader(data, header) || !pixelDataJustifies(data, header, fileBytes)) return false;
    const int32_t index = params.DICOMImageIndex;
    if (index < 0 || index >= header.frames) return false;
    fillParams(header, params);
    if (paramsOnly) return true;
    DicomImage frame(&file, data.getOriginalXfer(), CIF_UsePartialAccessToPixelData, static_cast<unsigned long>(index), 1);
    return frame.getStatus() == EIS_Normal && storeFrame(frame, out);
}

}  // namespace

void ReadDicomStream(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    RunGuarded(ctx, [&] {
        const int64_t left = stream.Size() - stream.Position();
        return left > 0 && decodeInto(stream, image, params, paramsOnly);
    });
    if (ctx.AbortFlag) image.Clear();
}

const TImageReader& DicomImageReader() {
    static const TImageReader reader{ReadDicomStream};
    return reader;
}

}  // namespace loopsmith
