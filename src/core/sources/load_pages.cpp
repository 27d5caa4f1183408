// The multi-frame paths of TIFF pages, icon images, multi-page PCX pages
// and DICOM images: one entry per page, each read by the registry's reader
// for the kind with the page's index set.

#include <array>

#include "sources/format_registry.h"
#include "sources/image_reader.h"
#include "sources/multi_image_io.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr int32_t kPageDelayMs = 100;
constexpr uint32_t kDcxKey = 987654321;
constexpr int32_t kDcxMaxPages = 1024;
constexpr size_t kIconCountOffset = 4;

uint32_t le32(const uint8_t* p) {
    return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

const TImageReader* readerForKind(TFileKind kind) {
    const TFileFormatInfo* info = FindFormatByKind(kind);
    return info && info->Reader && info->Reader->Read ? info->Reader : nullptr;
}

// Reading through a missing reader fails like reading corrupt data.
void readPage(const TImageReader* reader, TStream& stream, TRaster& page, TIOParams& params, TProgressContext& ctx,
              bool paramsOnly) {
    if (reader) reader->Read(stream, page, params, ctx, paramsOnly);
    else ctx.AbortFlag = true;
}

int32_t iconCount(TStream& stream) {
    std::array<uint8_t, kIconCountOffset + 2> head{};
    if (stream.Read(head.data(), head.size()) != head.size()) return 0;
    return head[kIconCountOffset] | head[kIconCountOffset + 1] << 8;
}

// Non-zero offsets up to the first zero entry, the table's 1024 entries or
// the end of the data; -1 without the DCX key.
int32_t dcxPageCount(TStream& stream) {
    std::array<uint8_t, 4 * (kDcxMaxPages + 1)> table{};
    const size_t got = stream.Read(table.data(), table.size());
    if (got < 4 || le32(table.data()) != kDcxKey) return -1;
    int32_t pages = 0;
    while (pages < kDcxMaxPages && 4 * static_cast<size_t>(pages + 2) <= got &&
           le32(table.data() + 4 * static_cast<size_t>(pages + 1)) != 0)
        ++pages;
    return pages;
}

int32_t dicomImageCount(TStream& stream, const TImageReader* reader, TProgressContext& ctx) {
    TIOParams params;
    params.SetImageIndex(0);
    TRaster none;
    readPage(reader, stream, none, params, ctx, true);
    return ctx.AbortFlag ? 0 : params.DICOMImageCount;
}

// The count known before the walk; -1 when the reader reports it with
// every page (TIFF).
int32_t countPagesAhead(TStream& stream, TFileKind kind, const TImageReader* reader, TProgressContext& ctx) {
    const int64_t start = stream.Position();
    int32_t count = -1;
    if (kind == fkICO) count = iconCount(stream);
    if (kind == fkDCX) {
        count = dcxPageCount(stream);
        if (count < 0) ctx.AbortFlag = true;
    }
    if (kind == fkDICOM) count = dicomImageCount(stream, reader, ctx);
    stream.Seek(start);
    return count;
}

}  // namespace

void TMultiImageIO::LoadTIFFPages(TStream& stream) {
    runStreamPath(stream, [this](TThumbStrip& v, TStream& s, const std::string& n) { loadPages(v, s, n, fkTIFF); });
}

void TMultiImageIO::LoadTIFFPages(const std::filesystem::path& fileName) {
    runFilePath(fileName, [this](TThumbStrip& v, TStream& s, const std::string& n) { loadPages(v, s, n, fkTIFF); });
}

void TMultiImageIO::LoadIconImages(TStream& stream) {
    runStreamPath(stream, [this](TThumbStrip& v, TStream& s, const std::string& n) { loadPages(v, s, n, fkICO); });
}

void TMultiImageIO::LoadIconImages(const std::filesystem::path& fileName) {
    runFilePath(fileName, [this](TThumbStrip& v, TStream& s, const std::string& n) { loadPages(v, s, n, fkICO); });
}

void TMultiImageIO::LoadDCXPages(TStream& stream) {
    runStreamPath(stream, [this](TThumbStrip& v, TStream& s, const std::string& n) { loadPages(v, s, n, fkDCX); });
}

void TMultiImageIO::LoadDCXPages(const std::filesystem::path& fileName) {
    runFilePath(fileName, [this](TThumbStrip& v, TStream& s, const std::string& n) { loadPages(v, s, n, fkDCX); });
}

void TMultiImageIO::LoadDICOMImages(TStream& stream) {
    runStreamPath(stream, [this](TThumbStrip& v, TStream& s, const std::string& n) { loadPages(v, s, n, fkDICOM); });
}

void TMultiImageIO::LoadDICOMImages(const std::filesystem::path& fileName) {
    runFilePath(fileName, [this](TThumbStrip& v, TStream& s, const std::string& n) { loadPages(v, s, n, fkDICOM); });
}

void TMultiImageIO::loadPages(TThumbStrip& view, TStream& stream, const std::string& fileName, TFileKind kind) {
    const TImageReader* reader = readerForKind(kind);
    TProgressContext ctx(Aborted);
    const int64_t start = stream.Position();
    const int32_t ahead = countPagesAhead(stream, kind, reader, ctx);
    int32_t count = ahead;
    // Icons take one pass even for an empty directory; DCX and DICOM none.
    bool more = kind == fkTIFF || kind == fkICO || count > 0;
    int32_t p = insertionPoint();
    for (int32_t n = 0; more; ++n, ++p) {
        if (Aborted || m_view != &view) {
            Aborted = true;
            break;
        }
        TIOParams params = newRecordAt(p);
        stream.Seek(start);
        params.SetImageIndex(n);
        TRaster page;
        readPage(reader, stream, page, params, ctx, false);
        if (ahead < 0) count = params.TIFFImageCount;
        // A reader that gives no pixels without saying so failed all the same.
        if (page.IsEmpty()) Aborted = true;
        if (Aborted || count <= 0) break;
        params.SetImageIndex(n);
        params.FileName = fileName;
        params.FileKind = kind;
        if (kind != fkICO) {
            if (params.DotsPerInchX < 2) params.DotsPerInchX = kDefaultDpi;
            if (params.DotsPerInchY < 2) params.DotsPerInchY = kDefaultDpi;
        }
        insertFrameEntry(view, p, std::move(params), page);
        view.SetImageDelay(p, kPageDelayMs);
        reportFrameProgress(n, count);
        more = count > n + 1;
    }
}

}  // namespace loopsmith
