#include "gif/gif_compose.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/stream.h"

namespace loopsmith {

namespace {

constexpr uint8_t kDisposeToBackground = 2;
constexpr uint8_t kDisposeToPrevious = 3;

void fillRect(TRaster& canvas, int32_t left, int32_t top, int32_t width, int32_t height, TRGB colour, uint8_t alpha) {
    if (width <= 0 || height <= 0) return;
    TRaster& alphaPlane = canvas.AlphaChannel();
    for (int32_t y = top; y < top + height; ++y) {
        uint8_t* p = canvas.Scanline(y) + 3 * static_cast<size_t>(left);
        for (int32_t x = 0; x < width; ++x, p += 3) {
            p[0] = colour.b;
            p[1] = colour.g;
            p[2] = colour.r;
        }
        std::memset(alphaPlane.Scanline(y) + left, alpha, static_cast<size_t>(width));
    }
}

// Copies a width x height block with its alpha between two px24RGB rasters.
void copyBlock(const TRaster& from, int32_t fromX, int32_t fromY, TRaster& to, int32_t toX, int32_t toY, int32_t width,
               int32_t height) {
    if (width <= 0 || height <= 0) return;
    const TRaster& fromAlpha = *from.AlphaPlane();
    TRaster& toAlpha = to.AlphaChannel();
    for (int32_t y = 0; y < height; ++y) {
        std::memcpy(to.Scanline(toY + y) + 3 * static_cast<size_t>(toX),
                    from.Scanline(fromY + y) + 3 * static_cast<size_t>(fromX), 3 * static_cast<size_t>(width));
        std::memcpy(toAlpha.Scanline(toY + y) + toX, fromAlpha.Scanline(fromY + y) + fromX,
                    static_cast<size_t>(width));
    }
}

}  // namespace

void TGifCanvas::Clear() {
    m_canvas.Clear();
    m_previous = Rect{};
    m_previousDisposal = 0;
    m_saved.Clear();
    m_savedArea = Rect{};
}

TGifCanvas::Rect TGifCanvas::clip(Rect r) const {
    const int32_t x0 = std::clamp(r.left, 0, m_canvas.Width());
    const int32_t y0 = std::clamp(r.top, 0, m_canvas.Height());
    const int32_t x1 = std::clamp(r.left + r.width, x0, m_canvas.Width());
    const int32_t y1 = std::clamp(r.top + r.height, y0, m_canvas.Height());
    return Rect{x0, y0, x1 - x0, y1 - y0};
}

bool TGifCanvas::AddFrame(const TRaster& image, TIOParams& params) {
    const int32_t screenWidth = std::max(params.GifScreenWidth, image.Width());
    const int32_t screenHeight = std::max(params.GifScreenHeight, image.Height());
    const int64_t needed = int64_t{std::max(screenWidth, m_canvas.Width())} * std::max(screenHeight, m_canvas.Height());
    if (needed > m_maxPixels) return false;
    try {
        dispose(params.GifBackgroundColor);
        if (!prepare(screenWidth, screenHeight, params.GifBackgroundColor)) return false;
        const Rect area{params.GifLeft, params.GifTop, image.Width(), image.Height()};
        if (params.GifDisposal == kDisposeToPrevious) saveArea(area);
        else m_saved.Clear();
        draw(image, area.left, area.top);
        m_previous = area;
        m_previousDisposal = params.GifDisposal;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    // The result covers the whole screen.
    params.GifDisposal = 2;
    params.GifLeft = 0;
    params.GifTop = 0;
    return true;
}

void TGifCanvas::dispose(TRGB background) {
    if (m_canvas.IsEmpty()) return;
    if (m_previousDisposal == kDisposeToBackground) {
        const Rect r = clip(m_previous);
        fillRect(m_canvas, r.left, r.top, r.width, r.height, background, 0);
    } else if (m_previousDisposal == kDisposeToPrevious && !m_saved.IsEmpty()) {
        const Rect r = m_savedArea;
        copyBlock(m_saved, 0, 0, m_canvas, r.left, r.top, r.width, r.height);
    }
}

bool TGifCanvas::prepare(int32_t screenWidth, int32_t screenHeight, TRGB background) {
    if (m_canvas.IsEmpty()) {
        // A fresh screen is the background colour, fully transparent.
        m_canvas.Allocate(screenWidth, screenHeight, px24RGB);
        fillRect(m_canvas, 0, 0, screenWidth, screenHeight, background, 0);
        return true;
    }
    if (m_canvas.PixelLayout() != px24RGB) m_canvas.ConvertTo(px24RGB);
    if (m_canvas.Width() >= screenWidth && m_canvas.Height() >= screenHeight) return true;
    TRaster larger(std::max(screenWidth, m_canvas.Width()), std::max(screenHeight, m_canvas.Height()), px24RGB);
    fillRect(larger, 0, 0, larger.Width(), larger.Height(), background, 255);
    copyBlock(m_canvas, 0, 0, larger, 0, 0, m_canvas.Width(), m_canvas.Height());
    m_canvas = std::move(larger);
    return true;
}

void TGifCanvas::saveArea(Rect area) {
    const Rect r = clip(area);
    m_savedArea = r;
    m_saved.Allocate(r.width, r.height, px24RGB);
    if (!m_saved.IsEmpty()) copyBlock(m_canvas, r.left, r.top, m_saved, 0, 0, r.width, r.height);
}

void TGifCanvas::draw(const TRaster& image, int32_t left, int32_t top) {
    const TRaster* source = &image;
    TRaster converted;
    if (image.PixelLayout() != px24RGB) {
        converted = image;
        converted.ConvertTo(px24RGB);
        source = &converted;
    }
    const Rect r = clip(Rect{left, top, image.Width(), image.Height()});
    if (r.width <= 0 || r.height <= 0) return;  // wholly off the screen
    const TRaster* imageAlpha = source->AlphaPlane();
    TRaster& canvasAlpha = m_canvas.AlphaChannel();
    for (int32_t y = r.top; y < r.top + r.height; ++y) {
        const int32_t sx = r.left - left, sy = y - top;
        const uint8_t* in = source->Scanline(sy) + 3 * static_cast<size_t>(sx);
        uint8_t* out = m_canvas.Scanline(y) + 3 * static_cast<size_t>(r.left);
        uint8_t* outAlpha = canvasAlpha.Scanline(y) + r.left;
        if (!imageAlpha) {
            std::memcpy(out, in, 3 * static_cast<size_t>(r.width));
            std::memset(outAlpha, 255, static_cast<size_t>(r.width));
            continue;
        }
        const uint8_t* inAlpha = imageAlpha->Scanline(sy) + sx;
        for (int32_t x = 0; x < r.width; ++x) {
            if (inAlpha[x] == 0) continue;
            std::memcpy(out + 3 * x, in + 3 * x, 3);
            outAlpha[x] = std::max(outAlpha[x], inAlpha[x]);
        }
    }
}

namespace {

// One step of the walk: image i read, composed when the file has several,
// and on success `result` is the frame as a viewer shows it. False when the
// walk must stop.
bool composeNext(TStream& stream, int64_t start, int32_t i, const std::vector<std::string>& comments,
                 TGifCanvas& canvas, int32_t& count, TRaster& result, TIOParams& params, TProgressContext& ctx) {
    stream.Seek(start);
    params.SetImageIndex(i);
    // Every pass appends the file's comments; keep them once.
    params.GifComments = comments;
    TRaster frame;
    std::optional<TRaster> mask;
    ReadGifStream(stream, frame, count, params, ctx, false, mask, false);
    const TPixelLayout layout = frame.PixelLayout();
    if (params.DotsPerInchX < 2) params.DotsPerInchX = kDefaultDpi;
    if (params.DotsPerInchY < 2) params.DotsPerInchY = kDefaultDpi;
    if (mask) frame.AlphaChannel() = std::move(*mask);
    if (count > 1 && !ctx.AbortFlag && !canvas.AddFrame(frame, params)) ctx.AbortFlag = true;
    if (ctx.AbortFlag) return false;
    if (count > 0) {
        if (count > 1) result = canvas.Canvas();
        else result = std::move(frame);
        result.ConvertTo(layout);
        ctx.Report(static_cast<int>(i * (100.0 / count)));
    }
    return true;
}

}  // namespace

int32_t ReadComposedGifFrame(TStream& stream, TRaster& result, TIOParams& params, TProgressContext& ctx) {
    const int32_t wanted = params.GifImageIndex;
    const int64_t start = stream.Position();
    const std::vector<std::string> comments = params.GifComments;
    TGifCanvas canvas(std::min(kGifMaxPixels, GifPixelBound(stream.Size() - start)));
    int32_t count = 0;
    for (int32_t i = 0;; ++i) {
        if (!composeNext(stream, start, i, comments, canvas, count, result, params, ctx)) break;
        if (i + 1 >= count || i == wanted) break;
    }
    params.SetImageIndex(wanted);
    return count;
}

TGifFrameCursor::TGifFrameCursor(std::vector<uint8_t> bytes)
    : m_stream(std::move(bytes)), m_canvas(std::min(kGifMaxPixels, GifPixelBound(m_stream.Size()))) {}

void TGifFrameCursor::restart() {
    m_canvas.Clear();
    m_next = 0;
    m_count = 0;
}

int32_t TGifFrameCursor::ReadFrame(TRaster& result, TIOParams& params, TProgressContext& ctx) {
    const int32_t wanted = params.GifImageIndex;
    // Going back, or past a frame that could not be read, starts over.
    if (m_next == 0 || wanted < m_next || (m_count > 0 && m_next >= m_count && wanted >= m_count)) restart();
    const std::vector<std::string> comments = params.GifComments;
    for (int32_t i = m_next;; ++i) {
        const bool ok = composeNext(m_stream, 0, i, comments, m_canvas, m_count, result, params, ctx);
        m_next = ok ? i + 1 : 0;
        if (!ok || i + 1 >= m_count || i == wanted) break;
    }
    params.SetImageIndex(wanted);
    return m_count;
}

}  // namespace loopsmith
