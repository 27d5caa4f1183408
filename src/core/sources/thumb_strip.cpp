#include "sources/thumb_strip.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "imaging/thumbnail.h"

namespace loopsmith {

namespace {

// Long videos announce their frame count up front; the hint must not turn a
// huge or bogus count into one giant allocation.
constexpr int32_t kMaxReserveHint = 1 << 16;
constexpr int32_t kPlaceholderSide = 64;

// A light grey square with a dark frame and a cross: "this file could not
// be read".
TRaster makePlaceholder(int32_t boxWidth, int32_t boxHeight) {
    const int32_t s = std::max(1, std::min({kPlaceholderSide, boxWidth, boxHeight}));
    TRaster r(s, s, px24RGB);
    const TRGB fill = MakeRGB(224, 224, 224), ink = MakeRGB(128, 128, 128);
    for (int32_t y = 0; y < s; ++y)
        for (int32_t x = 0; x < s; ++x) {
            const bool frame = x == 0 || y == 0 || x == s - 1 || y == s - 1;
            const bool cross = std::abs(x - y) <= 1 || std::abs(x + y - (s - 1)) <= 1;
            r.SetPixelRGB(x, y, frame || cross ? ink : fill);
        }
    return r;
}

}  // namespace

void TThumbStrip::AddObserver(TThumbStripObserver* observer) {
    if (observer && std::find(m_observers.begin(), m_observers.end(), observer) == m_observers.end())
        m_observers.push_back(observer);
}

void TThumbStrip::RemoveObserver(TThumbStripObserver* observer) { std::erase(m_observers, observer); }

template <class Fn>
void TThumbStrip::notify(Fn fn) {
    // A copy, so that an observer may detach itself while being told.
    const std::vector<TThumbStripObserver*> observers = m_observers;
    for (TThumbStripObserver* o : observers) fn(*o);
}

void TThumbStrip::changed() {
    if (m_lockCount == 0) notify([](TThumbStripObserver& o) { o.RepaintRequested(); });
}

void TThumbStrip::checkIndex(int32_t index) const {
    if (index < 0 || index >= ImageCount()) throw std::out_of_range("thumbnail index out of range");
}

const TThumbEntry& TThumbStrip::Entry(int32_t index) const {
    checkIndex(index);
    return m_entries[static_cast<size_t>(index)];
}

void TThumbStrip::SetThumbSize(int32_t width, int32_t height) {
    m_thumbWidth = std::max(width, 1);
    m_thumbHeight = std::max(height, 1);
}

void TThumbStrip::ReserveStorage(int32_t count, int32_t /*width*/, int32_t /*height*/, int32_t /*bitCount*/) {
    if (count <= 0) return;
    m_entries.reserve(m_entries.size() + static_cast<size_t>(std::min(count, kMaxReserveHint)));
}

// --- Entries ---

int32_t TThumbStrip::InsertImage(int32_t index) {
    if (index < 0 || index > ImageCount()) throw std::out_of_range("insert index out of range");
    m_entries.insert(m_entries.begin() + index, TThumbEntry{});
    // Selected positions stay as they are, so the new last position is free.
    m_selected.push_back(false);
    notify([index](TThumbStripObserver& o) { o.ImageInserted(index); });
    changed();
    return index;
}

int32_t TThumbStrip::AppendImage() { return InsertImage(ImageCount()); }

void TThumbStrip::DeleteImage(int32_t index) {
    checkIndex(index);
    m_entries.erase(m_entries.begin() + index);
    const bool selectionMoved = remapSelection([index](int32_t i) { return i == index ? -1 : i - (i > index ? 1 : 0); });
    notify([index](TThumbStripObserver& o) { o.ImageDeleted(index); });
    finishChange(selectionMoved);
}

void TThumbStrip::Clear() {
    m_entries.clear();
    const bool selectionMoved = setSelection({}, -1);
    notify([](TThumbStripObserver& o) { o.ImagesCleared(); });
    finishChange(selectionMoved);
}

void TThumbStrip::ExchangeImages(int32_t a, int32_t b) {
    checkIndex(a);
    checkIndex(b);
    if (a == b) return;
    std::swap(m_entries[static_cast<size_t>(a)], m_entries[static_cast<size_t>(b)]);
    const bool selectionMoved = remapSelection([a, b](int32_t i) { return i == a ? b : i == b ? a : i; });
    notify([a, b](TThumbStripObserver& o) { o.ImagesExchanged(a, b); });
    finishChange(selectionMoved);
}

int32_t TThumbStrip::MoveSelectedImagesTo(int32_t index) {
    if (m_selection.empty()) return -1;
    const int32_t n = ImageCount();
    // A selected target needs no special case: the unselected entries keep
    // their order and the block goes in before the first one at or after it.
    const int32_t anchor = std::clamp(index, 0, n);

    std::vector<int32_t> sourceOf;
    sourceOf.reserve(static_cast<size_t>(n));
    int32_t firstMoved = -1;
    for (int32_t i = 0; i <= n; ++i) {
        if (i == anchor) {
            firstMoved = static_cast<int32_t>(sourceOf.size());
            sourceOf.insert(sourceOf.end(), m_selection.begin(), m_selection.end());
        }
        if (i < n && !m_selected[static_cast<size_t>(i)]) sourceOf.push_back(i);
    }

    bool unchanged = true;
    for (int32_t k = 0; k < n; ++k) unchanged = unchanged && sourceOf[static_cast<size_t>(k)] == k;
    if (unchanged) return firstMoved;

    std::vector<TThumbEntry> reordered;
    reordered.reserve(static_cast<size_t>(n));
    std::vector<int32_t> newOf(static_cast<size_t>(n));
    for (int32_t k = 0; k < n; ++k) {
        const auto from = static_cast<size_t>(sourceOf[static_cast<size_t>(k)]);
        reordered.push_back(std::move(m_entries[from]));
        newOf[from] = k;
    }
    m_entries = std::move(reordered);
    const bool selectionMoved = remapSelection([&newOf](int32_t i) { return newOf[static_cast<size_t>(i)]; });
    notify([&sourceOf](TThumbStripObserver& o) { o.ImagesReordered(sourceOf); });
    finishChange(selectionMoved);
    return firstMoved;
}

// --- Entry data ---

void TThumbStrip::setPlaceholder(TThumbEntry& entry) const {
    entry.Picture = makePlaceholder(m_thumbWidth, m_thumbHeight);
    entry.OriginalWidth = 0;
    entry.OriginalHeight = 0;
    entry.Placeholder = true;
}

void TThumbStrip::SetPicture(int32_t index, const TRaster& picture) {
    checkIndex(index);
    TThumbEntry& entry = m_entries[static_cast<size_t>(index)];
    if (picture.IsEmpty()) {
        setPlaceholder(entry);
    } else {
        entry.Picture = MakeThumbnail(picture, m_thumbWidth, m_thumbHeight);
        entry.OriginalWidth = picture.Width();
        entry.OriginalHeight = picture.Height();
        entry.Placeholder = false;
    }
    changed();
}

bool TThumbStrip::LoadPictureFromFile(int32_t index, const std::filesystem::path& path) {
    checkIndex(index);
    TRaster picture;
    int32_t fullWidth = 0, fullHeight = 0;
    bool ok = false;
    if (FileLoader) {
        // Whatever goes wrong inside a reader, the entry stays with a placeholder.
        try {
            ok = FileLoader(path, picture, fullWidth, fullHeight) && !picture.IsEmpty();
        } catch (...) {
            ok = false;
        }
    }
    TThumbEntry& entry = m_entries[static_cast<size_t>(index)];
    if (ok) {
        entry.Picture = MakeThumbnail(picture, m_thumbWidth, m_thumbHeight);
        // A loader that read at a reduced size reports the real size.
        entry.OriginalWidth = fullWidth > 0 ? fullWidth : picture.Width();
        entry.OriginalHeight = fullHeight > 0 ? fullHeight : picture.Height();
        entry.Placeholder = false;
    } else {
        setPlaceholder(entry);
    }
    changed();
    return ok;
}

void TThumbStrip::SetImageDelay(int32_t index, int32_t delayMs) {
    checkIndex(index);
    m_entries[static_cast<size_t>(index)].DelayMs = std::max(delayMs, 0);
}

void TThumbStrip::SetBackgroundColor(int32_t index, TRGB color) {
    checkIndex(index);
    m_entries[static_cast<size_t>(index)].BackgroundColor = color;
    changed();
}

void TThumbStrip::SetBottomText(int32_t index, std::string text) {
    checkIndex(index);
    m_entries[static_cast<size_t>(index)].BottomText = std::move(text);
    changed();
}

void TThumbStrip::SetInfoText(int32_t index, std::string text) {
    checkIndex(index);
    m_entries[static_cast<size_t>(index)].InfoText = std::move(text);
}

void TThumbStrip::SetUserPointer(int32_t index, void* pointer) {
    checkIndex(index);
    m_entries[static_cast<size_t>(index)].UserPointer = pointer;
}

// --- Selection ---

bool TThumbStrip::setSelection(std::vector<int32_t> selection, int32_t current) {
    const bool differs = selection != m_selection || current != m_current;
    m_selection = std::move(selection);
    m_current = current;
    m_selected.assign(m_entries.size(), false);
    for (int32_t i : m_selection) m_selected[static_cast<size_t>(i)] = true;
    return differs;
}

void TThumbStrip::finishChange(bool selectionChanged) {
    if (selectionChanged) notify([](TThumbStripObserver& o) { o.SelectionChanged(); });
    changed();
}

void TThumbStrip::changeSelection(std::vector<int32_t> selection, int32_t current) {
    if (setSelection(std::move(selection), current)) finishChange(true);
}

bool TThumbStrip::remapSelection(const std::function<int32_t(int32_t)>& oldToNew) {
    std::vector<int32_t> selection;
    selection.reserve(m_selection.size());
    for (int32_t i : m_selection)
        if (int32_t k = oldToNew(i); k >= 0) selection.push_back(k);
    int32_t current = m_current >= 0 ? oldToNew(m_current) : -1;
    if (current < 0 && !selection.empty()) current = selection.back();
    return setSelection(std::move(selection), current);
}

void TThumbStrip::SetSelectedIndex(int32_t index) {
    if (index == -1) return DeselectAll();
    checkIndex(index);
    changeSelection({index}, index);
}

int32_t TThumbStrip::MultiSelectedIndex(int32_t i) const {
    if (i < 0 || i >= MultiSelectedCount()) throw std::out_of_range("selection index out of range");
    return m_selection[static_cast<size_t>(i)];
}

bool TThumbStrip::IsSelected(int32_t index) const {
    checkIndex(index);
    return m_selected[static_cast<size_t>(index)];
}

void TThumbStrip::AddToSelection(int32_t index) {
    checkIndex(index);
    std::vector<int32_t> selection = m_selection;
    if (!m_selected[static_cast<size_t>(index)]) selection.push_back(index);
    changeSelection(std::move(selection), index);
}

void TThumbStrip::Deselect(int32_t index) {
    checkIndex(index);
    if (!m_selected[static_cast<size_t>(index)]) return;
    if (remapSelection([index](int32_t i) { return i == index ? -1 : i; })) finishChange(true);
}

void TThumbStrip::ToggleSelection(int32_t index) {
    if (IsSelected(index)) Deselect(index);
    else AddToSelection(index);
}

void TThumbStrip::SelectAll() {
    std::vector<int32_t> selection = m_selection;
    for (int32_t i = 0; i < ImageCount(); ++i)
        if (!m_selected[static_cast<size_t>(i)]) selection.push_back(i);
    int32_t current = m_current;
    if (current < 0 && !selection.empty()) current = selection.front();
    changeSelection(std::move(selection), current);
}

void TThumbStrip::DeselectAll() { changeSelection({}, -1); }

// --- Painting ---

void TThumbStrip::UnlockUpdate() {
    if (m_lockCount == 0) return;
    if (--m_lockCount == 0) changed();
}

void TThumbStrip::Update() { changed(); }

// --- Geometry ---

void TThumbStrip::SetCellSpacing(int32_t horizontal, int32_t vertical) {
    m_spacingX = std::max(horizontal, 0);
    m_spacingY = std::max(vertical, 0);
}

int32_t TThumbStrip::CellOriginX(int32_t index) const {
    checkIndex(index);
    const int64_t x = m_spacingX + int64_t{index} * CellPitchX();
    return static_cast<int32_t>(std::min<int64_t>(x, std::numeric_limits<int32_t>::max()));
}

int32_t TThumbStrip::CellOriginY(int32_t index) const {
    checkIndex(index);
    return m_spacingY;
}

int32_t TThumbStrip::ImageAtPosition(int32_t x, int32_t y) const {
    if (x < m_spacingX || y < m_spacingY || y >= m_spacingY + m_thumbHeight) return -1;
    const int32_t column = (x - m_spacingX) / CellPitchX();
    if ((x - m_spacingX) % CellPitchX() >= m_thumbWidth) return -1;
    return column < ImageCount() ? column : -1;
}

int32_t TThumbStrip::InsertingPoint(int32_t x) const {
    if (x < 0) return 0;
    return std::min(x / CellPitchX(), ImageCount());
}

}  // namespace loopsmith
