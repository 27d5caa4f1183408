#pragma once
// The model behind the thumbnail strip: its entries, their order, the
// selection and painting locks, and the notifications through which a view
// or the loader's per-entry parameter list stays in step with it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "imaging/raster.h"

namespace loopsmith {

// Delay an entry has until the loader sets one.
constexpr int32_t kDefaultThumbDelayMs = 100;
constexpr int32_t kDefaultThumbSize = 120;
constexpr int32_t kDefaultCellSpacingX = 5;
constexpr int32_t kDefaultCellSpacingY = 6;

struct TThumbEntry {
    TRaster Picture;  // the stored copy, reduced to the thumbnail box
    // Size of the picture handed in (or reported by the file loader); 0 for
    // a placeholder.
    int32_t OriginalWidth = 0;
    int32_t OriginalHeight = 0;
    int32_t DelayMs = kDefaultThumbDelayMs;
    TRGB BackgroundColor = MakeRGB(255, 255, 255);
    std::string BottomText;  // caption
    std::string InfoText;    // the source file's full path
    void* UserPointer = nullptr;  // owned by whoever set it, never freed here
    bool Placeholder = false;     // the picture could not be read
};

// Every notification arrives right after the change, also while painting is
// locked, so that parallel lists never fall out of step. An observer must
// not change the strip from inside a notification.
class TThumbStripObserver {
public:
    virtual ~TThumbStripObserver() = default;
    virtual void ImageInserted(int32_t /*index*/) {}
    virtual void ImageDeleted(int32_t /*index*/) {}
    // sourceOf[k] is the index, before the change, of the entry now at k.
    virtual void ImagesReordered(std::span<const int32_t> /*sourceOf*/) {}
    virtual void ImagesExchanged(int32_t /*a*/, int32_t /*b*/) {}
    virtual void ImagesCleared() {}
    virtual void SelectionChanged() {}
    virtual void RepaintRequested() {}
};

// Index arguments must name an entry (0 .. ImageCount() - 1) unless stated
// otherwise; anything else throws std::out_of_range.
class TThumbStrip {
public:
    using TFileLoader = std::function<bool(const std::filesystem::path& path, TRaster& out, int32_t& fullWidth,
                                           int32_t& fullHeight)>;

    TThumbStrip() = default;
    TThumbStrip(const TThumbStrip&) = delete;
    TThumbStrip& operator=(const TThumbStrip&) = delete;

    // --- Observers (not owned) ---
    void AddObserver(TThumbStripObserver* observer);
    void RemoveObserver(TThumbStripObserver* observer);

    // --- Storage settings; they apply to pictures set afterwards ---
    int32_t ThumbWidth() const { return m_thumbWidth; }
    int32_t ThumbHeight() const { return m_thumbHeight; }
    void SetThumbSize(int32_t width, int32_t height);
    // A hint before many pictures of one size arrive; only the entry list's
    // capacity is reserved, within a bound.
    void ReserveStorage(int32_t count, int32_t width, int32_t height, int32_t bitCount);

    // --- Entries ---
    int32_t ImageCount() const { return static_cast<int32_t>(m_entries.size()); }
    const TThumbEntry& Entry(int32_t index) const;
    // index may equal ImageCount(). Returns the index.
    int32_t InsertImage(int32_t index);
    int32_t AppendImage();
    void DeleteImage(int32_t index);
    void Clear();
    void ExchangeImages(int32_t a, int32_t b);
    // Moves the selected entries, in selection order, to stand together
    // before the entry that was at `index` (clamped to 0 .. ImageCount();
    // ImageCount() means the end). When that entry is itself selected, the
    // block goes before the first unselected entry after it. The moved
    // entries stay selected. Returns the new index of the first moved entry,
    // or -1 when nothing is selected.
    int32_t MoveSelectedImagesTo(int32_t index);

    // --- Entry data ---
    // Stores a copy reduced to the thumbnail box and remembers the full size.
    // An empty picture gives the placeholder.
    void SetPicture(int32_t index, const TRaster& picture);
    // Reads the picture through FileLoader; without a loader, or when it
    // fails or throws, the entry gets the placeholder. Returns whether the
    // file was read.
    bool LoadPictureFromFile(int32_t index, const std::filesystem::path& path);
    TFileLoader FileLoader;

    const TRaster& Thumbnail(int32_t index) const { return Entry(index).Picture; }
    int32_t StoredImageWidth(int32_t index) const { return Entry(index).Picture.Width(); }
    int32_t StoredImageHeight(int32_t index) const { return Entry(index).Picture.Height(); }
    int32_t ImageDelay(int32_t index) const { return Entry(index).DelayMs; }
    void SetImageDelay(int32_t index, int32_t delayMs);  // negative becomes 0
    void SetBackgroundColor(int32_t index, TRGB color);
    const std::string& BottomText(int32_t index) const { return Entry(index).BottomText; }
    void SetBottomText(int32_t index, std::string text);
    const std::string& InfoText(int32_t index) const { return Entry(index).InfoText; }
    void SetInfoText(int32_t index, std::string text);
    void* UserPointer(int32_t index) const { return Entry(index).UserPointer; }
    void SetUserPointer(int32_t index, void* pointer);

    // --- Selection ---
    // The current entry: the one most recently selected that still is, or
    // -1. Inserting entries leaves the selected positions as numbers (the
    // loader's insertion point stays put); deleting, moving and exchanging
    // carry the selection with the entries.
    int32_t SelectedIndex() const { return m_current; }
    // Makes index the only selected entry; -1 deselects all.
    void SetSelectedIndex(int32_t index);
    int32_t MultiSelectedCount() const { return static_cast<int32_t>(m_selection.size()); }
    // The i-th selected entry in the order the entries were selected.
    int32_t MultiSelectedIndex(int32_t i) const;
    const std::vector<int32_t>& MultiSelectedIndices() const { return m_selection; }
    bool IsSelected(int32_t index) const;
    // Adds index to the selection (at the end of the order) and makes it
    // current; an entry already selected keeps its place in the order.
    void AddToSelection(int32_t index);
    void Deselect(int32_t index);
    void ToggleSelection(int32_t index);
    // Adds the unselected entries in list order; the current entry stays.
    void SelectAll();
    void DeselectAll();

    // --- Painting ---
    void LockUpdate() { ++m_lockCount; }
    // The outermost unlock asks for one repaint; extra unlocks are ignored.
    void UnlockUpdate();
    bool IsUpdateLocked() const { return m_lockCount > 0; }
    // Asks for a repaint, or leaves it to the outermost unlock.
    void Update();

    // --- Geometry of the one-row layout, in content coordinates (client
    // point plus scroll position) ---
    void SetCellSpacing(int32_t horizontal, int32_t vertical);
    int32_t CellPitchX() const { return m_thumbWidth + m_spacingX; }
    int32_t CellOriginX(int32_t index) const;
    int32_t CellOriginY(int32_t index) const;
    // Index of the entry whose cell holds the point, or -1.
    int32_t ImageAtPosition(int32_t x, int32_t y) const;
    // Index before which a drop at content x inserts: the column under it,
    // capped at ImageCount().
    int32_t InsertingPoint(int32_t x) const;

private:
    void checkIndex(int32_t index) const;
    void setPlaceholder(TThumbEntry& entry) const;
    // The selection helpers only update state and answer whether anything
    // differs; notifying is left to the caller, after its own notification.
    // oldToNew maps an index to its new place, -1 dropping it.
    bool remapSelection(const std::function<int32_t(int32_t)>& oldToNew);
    bool setSelection(std::vector<int32_t> selection, int32_t current);
    void changeSelection(std::vector<int32_t> selection, int32_t current);
    void finishChange(bool selectionChanged);
    void changed();
    template <class Fn>
    void notify(Fn fn);

    std::vector<TThumbEntry> m_entries;
    std::vector<int32_t> m_selection;  // in selection order
    std::vector<bool> m_selected;      // by index, mirrors m_selection
    int32_t m_current = -1;
    int32_t m_lockCount = 0;
    int32_t m_thumbWidth = kDefaultThumbSize;
    int32_t m_thumbHeight = kDefaultThumbSize;
    int32_t m_spacingX = kDefaultCellSpacingX;
    int32_t m_spacingY = kDefaultCellSpacingY;
    std::vector<TThumbStripObserver*> m_observers;
};

}  // namespace loopsmith
