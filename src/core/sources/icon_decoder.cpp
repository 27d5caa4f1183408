#include "sources/icon_decoder.h"

#include <new>
#include <stdexcept>
#include <vector>

#include "sources/bmp_decoder.h"
#include "sources/image_reader.h"
#include "sources/png_decoder.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr size_t kDirectoryHeaderBytes = 6;
constexpr size_t kEntryBytes = 16;
constexpr uint16_t kIconType = 1;
constexpr uint16_t kCursorType = 2;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
    return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The bytes of directory entry n, or an empty span when the entry or the
// data it names does not lie wholly inside the file.
std::span<const uint8_t> entryData(std::span<const uint8_t> file, int32_t n) {
    const size_t entry = kDirectoryHeaderBytes + kEntryBytes * static_cast<size_t>(n);
    if (entry + kEntryBytes > file.size()) return {};
    const uint64_t size = le32(&file[entry + 8]);
    const uint64_t offset = le32(&file[entry + 12]);
    if (size == 0 || offset < entry + kEntryBytes || offset + size > file.size()) return {};
    return file.subspan(static_cast<size_t>(offset), static_cast<size_t>(size));
}

void readIconImage(TStream& stream, TRaster& image, TIOParams& params, TProgressContext& ctx, bool paramsOnly) {
    ctx.Report(0);
    if (ctx.AbortFlag) return;
    bool ok = false;
    try {
        std::vector<uint8_t> storage;
        ok = DecodeIcon(StreamBytes(stream, storage), image, params, paramsOnly);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    if (!ok) ctx.AbortFlag = true;
    else ctx.Report(100);
}

}  // namespace

bool DecodeIcon(std::span<const uint8_t> file, TRaster& image, TIOParams& params, bool paramsOnly) {
    if (file.size() < kDirectoryHeaderBytes) return false;
    const uint16_t type = le16(&file[2]);
    const int32_t count = le16(&file[4]);
    if (le16(&file[0]) != 0 || (type != kIconType && type != kCursorType) || count == 0) return false;
    params.SetImageCount(count);
    const int32_t n = params.ICOImageIndex;
    if (n < 0 || n >= count) return false;
    const std::span<const uint8_t> data = entryData(file, n);
    if (data.empty()) return false;
    const bool ok = IsPngSignature(data) ? DecodePng(data, image, params, paramsOnly)
                                         : DecodeIconBitmap(data, image, params, paramsOnly);
    // The image's own decoder counts one image.
    params.SetImageCount(count);
    return ok;
}

const TImageReader& IconImageReader() {
    static const TImageReader reader{readIconImage};
    return reader;
}

}  // namespace loopsmith
