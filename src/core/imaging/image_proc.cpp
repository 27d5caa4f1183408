#include "imaging/image_proc.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace loopsmith {

namespace {

int64_t magnitude(int32_t v) { return v < 0 ? -int64_t{v} : int64_t{v}; }

bool withinCap(int64_t w, int64_t h) { return w <= kMaxProcPixels && h <= kMaxProcPixels && w * h <= kMaxProcPixels; }

}  // namespace

bool ResampleTargetSize(int32_t sw, int32_t sh, int32_t nw, int32_t nh, int32_t& w, int32_t& h) {
    if (sw <= 0 || sh <= 0 || (nw < 0 && nh < 0)) return false;
    // Keeping the height (0) while the width follows the ratio means the
    // source ratio, not a width computed from a height of 0.
    const int64_t heightForRatio = nh == 0 ? sh : nh;
    int64_t tw = nw == -1 ? int64_t{sw} * heightForRatio / sh : nw == 0 ? sw : magnitude(nw);
    tw = std::max<int64_t>(tw, 1);
    if (tw > kMaxProcPixels) return false;
    int64_t th = nh == -1 ? int64_t{sh} * tw / sw : nh == 0 ? sh : magnitude(nh);
    th = std::max<int64_t>(th, 1);
    if (!withinCap(tw, th)) return false;
    w = static_cast<int32_t>(tw);
    h = static_cast<int32_t>(th);
    return true;
}

void TImageProc::Resample(int32_t newWidth, int32_t newHeight, TResampleFilter /*filter*/) {
    if (!m_image || m_image->IsEmpty()) return;
    TRaster& image = *m_image;
    if (newWidth == image.Width() && newHeight == image.Height()) return;
    int32_t w = 0, h = 0;
    if (!ResampleTargetSize(image.Width(), image.Height(), newWidth, newHeight, w, h)) return;
    try {
        if (AutoSnapshot) SaveSnapshot();
        if (w == image.Width() && h == image.Height()) return;
        image = ResampleFastLinear(image, w, h);
    } catch (const std::bad_alloc&) {
        return;
    } catch (const std::length_error&) {
        return;
    }
    changed();
}

void TImageProc::ImageResize(int32_t newWidth, int32_t newHeight, THorizontalAlign horizontal,
                             TVerticalAlign vertical, int32_t fillAlpha) {
    if (!m_image || m_image->IsEmpty()) return;
    TRaster& image = *m_image;
    if (newWidth <= 0 || newHeight <= 0 || !withinCap(newWidth, newHeight)) return;
    if (newWidth == image.Width() && newHeight == image.Height()) return;
    try {
        if (AutoSnapshot) SaveSnapshot();
        ResizeCanvas(image, newWidth, newHeight, horizontal, vertical, Background,
                     static_cast<uint8_t>(std::clamp(fillAlpha, 0, 255)));
    } catch (const std::bad_alloc&) {
        return;
    } catch (const std::length_error&) {
        return;
    }
    changed();
}

void TImageProc::FlattenAlpha(bool merge) {
    if (!m_image || !m_image->HasAlphaChannel()) return;
    if (merge) FlattenAlphaChannel(*m_image, Background);
    else m_image->RemoveAlphaChannel();
    changed();
}

void TImageProc::SaveSnapshot() {
    if (!m_image || m_snapshotLimit < 1) return;
    if (m_image->Width() < 2 || m_image->Height() < 2) return;
    // Copy first: a failed copy must not cost an older snapshot.
    TRaster copy;
    try {
        copy = *m_image;
    } catch (const std::bad_alloc&) {
        return;
    }
    while (static_cast<int>(m_snapshots.size()) >= m_snapshotLimit) m_snapshots.pop_front();
    m_snapshots.push_back(std::move(copy));
}

void TImageProc::RestoreSnapshot(int position) {
    if (!m_image || position < 0 || position >= SnapshotCount()) return;
    try {
        TRaster copy(m_snapshots[static_cast<size_t>(SnapshotCount() - 1 - position)]);
        *m_image = std::move(copy);
    } catch (const std::bad_alloc&) {
        return;
    }
    changed();
}

void TImageProc::changed() {
    if (OnChange) OnChange();
}

}  // namespace loopsmith
