#pragma once
// Scaling, canvas resize, alpha flattening and the snapshot stack of the
// image one view holds. Everything works in place on the attached raster.

#include <cstdint>
#include <deque>
#include <functional>

#include "imaging/raster.h"

namespace loopsmith {

// Ordinals are fixed; only rfFastLinear is implemented, every other value
// scales with it too so that callers always get the size they asked for.
enum TResampleFilter : uint8_t {
    rfNone,
    rfTriangle,
    rfHermite,
    rfBell,
    rfBSpline,
    rfLanczos3,
    rfMitchell,
    rfNearest,
    rfLinear,
    rfFastLinear,
    rfBilinear,
    rfBicubic,
    rfProjectBW,
    rfProjectWB,
};

enum THorizontalAlign : uint8_t { haLeft, haCenter, haRight };
enum TVerticalAlign : uint8_t { vaTop, vaCenter, vaBottom };

// Largest result Resample and ImageResize will build (the readers' cap too);
// larger requests leave the image alone.
constexpr int64_t kMaxProcPixels = int64_t{1} << 28;

// The size Resample makes of a sw x sh image for the request nw x nh
// (-1 keeps the aspect ratio, 0 keeps that side, other negatives count by
// their absolute value). False when both are negative or the result would
// exceed kMaxProcPixels. With nw = -1 and nh = 0 the width is sw.
bool ResampleTargetSize(int32_t sw, int32_t sh, int32_t nw, int32_t nh, int32_t& w, int32_t& h);

// The fast-linear scaling of `source` to width x height: px24RGB and px8g
// keep their layout, px1g and every other layout give px24RGB; an alpha
// plane is scaled along. A plain copy when the size is the same, the source
// is empty, or the size is below 1 or beyond kMaxProcPixels.
TRaster ResampleFastLinear(const TRaster& source, int32_t width, int32_t height);

// ImageResize without the snapshot: crops or adds margins by the alignment.
// New colour area gets `background` (px8g/px8p: its blue byte, px1g: white
// when its luminance is >= 128); new alpha gets fillAlpha. A fillAlpha
// below 255 gives an image without alpha plane an opaque one first. A 1 x 1
// image is filled with the background before the change.
void ResizeCanvas(TRaster& image, int32_t newWidth, int32_t newHeight, THorizontalAlign horizontal,
                  TVerticalAlign vertical, TRGB background, uint8_t fillAlpha);

// Blends every pixel over `background` by its alpha (weight alpha / 256)
// and drops the alpha plane. px24RGB blends each channel; px8g blends over
// the background's blue byte and px1g over its black-or-white, keeping their
// layouts; px8p only loses the plane.
void FlattenAlphaChannel(TRaster& image, TRGB background);

class TImageProc {
public:
    static constexpr int kDefaultSnapshotLimit = 1;

    TImageProc() = default;
    explicit TImageProc(TRaster* image) : m_image(image) {}
    TImageProc(const TImageProc&) = delete;
    TImageProc& operator=(const TImageProc&) = delete;

    void Attach(TRaster* image) { m_image = image; }
    TRaster* AttachedImage() const { return m_image; }

    // The view's background colour: the canvas fill and the flattening colour.
    TRGB Background{255, 255, 255};
    // Saves a snapshot before each Resample and ImageResize.
    bool AutoSnapshot = true;
    // Called after an operation changed the image (the view repaints).
    std::function<void()> OnChange;

    // Ignored: an empty image, the unchanged size, both sides negative, a
    // result beyond kMaxProcPixels. A request that yields the same size
    // still saves a snapshot.
    void Resample(int32_t newWidth, int32_t newHeight, TResampleFilter filter = rfFastLinear);
    // Ignored: an empty image, a side <= 0, the unchanged size, a result
    // beyond kMaxProcPixels. fillAlpha is clamped to 0..255.
    void ImageResize(int32_t newWidth, int32_t newHeight, THorizontalAlign horizontal, TVerticalAlign vertical,
                     int32_t fillAlpha);
    // With merge, blends over Background (see FlattenAlphaChannel); without,
    // only drops the alpha plane.
    void FlattenAlpha(bool merge = true);

    // Limit below 1 keeps no snapshots. Lowering it trims at the next save.
    void SetSnapshotLimit(int limit) { m_snapshotLimit = limit; }
    int SnapshotLimit() const { return m_snapshotLimit; }
    // Only images of at least 2 x 2; the oldest go first once the limit is reached.
    void SaveSnapshot();
    int SnapshotCount() const { return static_cast<int>(m_snapshots.size()); }
    // Position 0 is the newest, SnapshotCount() - 1 the oldest; the stack
    // stays as it is. Out of range does nothing.
    void RestoreSnapshot(int position);
    void ClearSnapshots() { m_snapshots.clear(); }

private:
    void changed();

    TRaster* m_image = nullptr;
    int m_snapshotLimit = kDefaultSnapshotLimit;
    std::deque<TRaster> m_snapshots;  // oldest first
};

}  // namespace loopsmith
