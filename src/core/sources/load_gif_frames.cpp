// The GIF path of the multi-frame loader: one entry per image, each showing
// the logical screen as it stands after that image.

#include <algorithm>
#include <optional>

#include "gif/gif_compose.h"
#include "gif/gif_reader.h"
#include "sources/multi_image_io.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr int32_t kMsPerGifDelayUnit = 10;

// A frame without a delay of its own shows as long as the last frame that
// had one.
int32_t entryDelayMs(int32_t delayCs, int32_t& lastDelayMs) {
    if (delayCs > 0) lastDelayMs = delayCs * kMsPerGifDelayUnit;
    return lastDelayMs;
}

// The entry shows the frame in the frame's own layout (a black-and-white
// frame stays px1g); the running canvas itself must stay px24RGB, so a
// different layout is made in `converted`.
const TRaster& canvasInLayout(const TRaster& canvas, TPixelLayout layout, TRaster& converted) {
    if (canvas.PixelLayout() == layout) return canvas;
    converted = canvas;
    converted.ConvertTo(layout);
    return converted;
}

// Larger files are walked on disk.
constexpr int64_t kGifInMemoryLimit = int64_t{1} << 30;

}  // namespace

void TMultiImageIO::LoadGIFFrames(TStream& stream) {
    runStreamPath(stream, [this](TThumbStrip& view, TStream& s, const std::string& name) { loadGifFrames(view, s, name); });
}

// The walk reads the file once per frame, so it reads it from memory.
void TMultiImageIO::LoadGIFFrames(const std::filesystem::path& fileName) {
    runFilePath(fileName, [this](TThumbStrip& view, TStream& file, const std::string& name) {
        if (file.Size() > kGifInMemoryLimit) return loadGifFrames(view, file, name);
        std::vector<uint8_t> bytes(static_cast<size_t>(file.Size()));
        bytes.resize(file.Read(bytes.data(), bytes.size()));
        TMemoryStream memory(std::move(bytes));
        loadGifFrames(view, memory, name);
    });
}

// Every frame re-reads the file from its start: the reader decodes only the
// wanted image and skips the others' data, so the walk decodes each image
// once while one canvas carries the disposals from frame to frame.
void TMultiImageIO::loadGifFrames(TThumbStrip& view, TStream& stream, const std::string& fileName) {
    const int64_t start = stream.Position();
    TGifCanvas canvas(std::min(kGifMaxPixels, GifPixelBound(stream.Size() - start)));
    TProgressContext ctx(Aborted);
    int32_t lastDelayMs = kDefaultThumbDelayMs;
    int32_t count = 0;
    TRaster converted;
    int32_t p = insertionPoint();
    for (int32_t n = 0;; ++n, ++p) {
        // A progress handler may have cancelled or taken the strip away.
        if (Aborted || m_view != &view) {
            Aborted = true;
            break;
        }
        TIOParams params = newRecordAt(p);
        stream.Seek(start);
        params.SetImageIndex(n);
        TRaster frame;
        std::optional<TRaster> mask;
        ReadGifStream(stream, frame, count, params, ctx, false, mask, false);
        if (mask) frame.AlphaChannel() = std::move(*mask);
        const TPixelLayout layout = frame.PixelLayout();
        if (frame.IsEmpty()) Aborted = true;
        if (!Aborted && count > 1 && !canvas.AddFrame(frame, params)) Aborted = true;
        if (Aborted || count == 0) break;
        params.SetImageIndex(n);
        params.FileName = fileName;
        params.FileKind = fkGIF;
        const int32_t delayMs = entryDelayMs(params.GifDelay, lastDelayMs);
        const TRGB background = params.GifBackgroundColor;
        if (count > 1) {
            const TRaster& shown = canvasInLayout(canvas.Canvas(), layout, converted);
            insertFrameEntry(view, p, std::move(params), shown);
        } else {
            insertFrameEntry(view, p, std::move(params), frame);
        }
        view.SetImageDelay(p, delayMs);
        view.SetBackgroundColor(p, background);
        reportFrameProgress(n, count);
        if (count <= n + 1) break;
    }
}

}  // namespace loopsmith
