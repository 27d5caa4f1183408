#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "imaging/thumbnail.h"
#include "sources/thumb_strip.h"
#include "support/test_support.h"

namespace loopsmith {
namespace {

// Entries are told apart by an id kept in the user pointer.
void* tag(int id) { return reinterpret_cast<void*>(static_cast<intptr_t>(id)); }
int idAt(const TThumbStrip& s, int32_t i) { return static_cast<int>(reinterpret_cast<intptr_t>(s.UserPointer(i))); }

std::vector<int> idsOf(const TThumbStrip& s) {
    std::vector<int> ids;
    for (int32_t i = 0; i < s.ImageCount(); ++i) ids.push_back(idAt(s, i));
    return ids;
}

// Entries 0 .. n-1 with ids equal to their starting index.
void fillStrip(TThumbStrip& s, int n) {
    for (int i = 0; i < n; ++i) s.SetUserPointer(s.AppendImage(), tag(i));
}

void selectInOrder(TThumbStrip& s, const std::vector<int32_t>& order) {
    s.DeselectAll();
    for (int32_t i : order) s.AddToSelection(i);
}

struct TRecorder : TThumbStripObserver {
    int repaints = 0;
    int selectionChanges = 0;
    std::vector<std::string> events;

    void ImageInserted(int32_t i) override { events.push_back("ins " + std::to_string(i)); }
    void ImageDeleted(int32_t i) override { events.push_back("del " + std::to_string(i)); }
    void ImagesReordered(std::span<const int32_t>) override { events.push_back("reorder"); }
    void ImagesExchanged(int32_t a, int32_t b) override {
        events.push_back("xchg " + std::to_string(a) + " " + std::to_string(b));
    }
    void ImagesCleared() override { events.push_back("clear"); }
    void SelectionChanged() override { ++selectionChanges; }
    void RepaintRequested() override { ++repaints; }
};

// --- Entries ---------------------------------------------------------------

TEST(TThumbStrip, InsertAndDeleteShiftLaterEntries) {
    struct Case {
        const char* name;
        bool insert;
        int32_t index;
        std::vector<int> expected;  // 99 marks the inserted entry
    } const kCases[] = {
        {"insert at start", true, 0, {99, 0, 1, 2, 3}},
        {"insert in the middle", true, 2, {0, 1, 99, 2, 3}},
        {"insert at the end", true, 4, {0, 1, 2, 3, 99}},
        {"delete first", false, 0, {1, 2, 3}},
        {"delete middle", false, 2, {0, 1, 3}},
        {"delete last", false, 3, {0, 1, 2}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TThumbStrip s;
        fillStrip(s, 4);
        TRecorder rec;
        s.AddObserver(&rec);
        if (c.insert) {
            EXPECT_EQ(s.InsertImage(c.index), c.index);
            EXPECT_EQ(s.UserPointer(c.index), nullptr);
            s.SetUserPointer(c.index, tag(99));
        } else {
            s.DeleteImage(c.index);
        }
        EXPECT_EQ(idsOf(s), c.expected);
        EXPECT_EQ(rec.events, std::vector<std::string>{(c.insert ? "ins " : "del ") + std::to_string(c.index)});
    }
}

TEST(TThumbStrip, BadIndicesThrowAndChangeNothing) {
    TThumbStrip s;
    fillStrip(s, 3);
    EXPECT_THROW(s.InsertImage(4), std::out_of_range);
    EXPECT_THROW(s.InsertImage(-1), std::out_of_range);
    EXPECT_THROW(s.DeleteImage(3), std::out_of_range);
    EXPECT_THROW(s.ExchangeImages(0, 3), std::out_of_range);
    EXPECT_THROW(s.SetPicture(-1, TRaster(2, 2, px24RGB)), std::out_of_range);
    EXPECT_THROW(s.LoadPictureFromFile(3, "x.png"), std::out_of_range);
    EXPECT_THROW(s.SetSelectedIndex(3), std::out_of_range);
    EXPECT_THROW(s.MultiSelectedIndex(0), std::out_of_range);
    EXPECT_EQ(idsOf(s), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(s.SelectedIndex(), -1);
}

TEST(TThumbStrip, NewEntryDefaultsAndSetters) {
    TThumbStrip s;
    s.AppendImage();
    const TThumbEntry& e = s.Entry(0);
    EXPECT_EQ(e.DelayMs, kDefaultThumbDelayMs);
    EXPECT_EQ(e.BackgroundColor, MakeRGB(255, 255, 255));
    EXPECT_TRUE(e.Picture.IsEmpty());
    EXPECT_FALSE(e.Placeholder);
    EXPECT_EQ(e.UserPointer, nullptr);

    s.SetImageDelay(0, 40);
    s.SetBackgroundColor(0, MakeRGB(1, 2, 3));
    s.SetBottomText(0, "a.gif");
    s.SetInfoText(0, "/pics/a.gif");
    EXPECT_EQ(s.ImageDelay(0), 40);
    EXPECT_EQ(s.Entry(0).BackgroundColor, MakeRGB(1, 2, 3));
    EXPECT_EQ(s.BottomText(0), "a.gif");
    EXPECT_EQ(s.InfoText(0), "/pics/a.gif");
    s.SetImageDelay(0, -5);
    EXPECT_EQ(s.ImageDelay(0), 0);
}

TEST(TThumbStrip, ExchangeSwapsEntriesAndTheirSelection) {
    TThumbStrip s;
    fillStrip(s, 5);
    selectInOrder(s, {1, 3});
    TRecorder rec;
    s.AddObserver(&rec);
    s.ExchangeImages(1, 4);
    EXPECT_EQ(idsOf(s), (std::vector<int>{0, 4, 2, 3, 1}));
    EXPECT_EQ(s.MultiSelectedIndices(), (std::vector<int32_t>{4, 3}));
    EXPECT_EQ(s.SelectedIndex(), 3);
    EXPECT_EQ(rec.events, std::vector<std::string>{"xchg 1 4"});

    rec.events.clear();
    s.ExchangeImages(2, 2);
    EXPECT_TRUE(rec.events.empty());
}

TEST(TThumbStrip, ClearEmptiesEntriesAndSelection) {
    TThumbStrip s;
    fillStrip(s, 3);
    s.SetSelectedIndex(1);
    TRecorder rec;
    s.AddObserver(&rec);
    s.Clear();
    EXPECT_EQ(s.ImageCount(), 0);
    EXPECT_EQ(s.SelectedIndex(), -1);
    EXPECT_EQ(s.MultiSelectedCount(), 0);
    EXPECT_EQ(rec.events, std::vector<std::string>{"clear"});
    EXPECT_EQ(rec.selectionChanges, 1);
}

// --- Moving the selection --------------------------------------------------

TEST(TThumbStrip, MoveSelectedPlacesBlockInSelectionOrderBeforeTarget) {
    struct Case {
        const char* name;
        std::vector<int32_t> selection;  // in selection order
        int32_t target;
        std::vector<int> expected;
        int32_t firstMoved;
    } const kCases[] = {
        // Entries 0 and 1 dropped at 4 stand after the ones that were at 2 and 3.
        {"contiguous forward", {0, 1}, 4, {2, 3, 0, 1, 4, 5}, 2},
        {"contiguous backward", {4, 5}, 1, {0, 4, 5, 1, 2, 3}, 1},
        {"non-contiguous forward", {1, 3}, 5, {0, 2, 4, 1, 3, 5}, 3},
        {"selection order kept", {3, 1}, 0, {3, 1, 0, 2, 4, 5}, 0},
        {"to the end", {0, 2}, 6, {1, 3, 4, 5, 0, 2}, 4},
        {"past the end is clamped", {5, 0}, 10, {1, 2, 3, 4, 5, 0}, 4},
        {"negative is clamped", {2}, -3, {2, 0, 1, 3, 4, 5}, 0},
        {"target inside block, already in place", {2, 3}, 2, {0, 1, 2, 3, 4, 5}, 2},
        {"target selected goes before next unselected", {3, 1}, 3, {0, 2, 3, 1, 4, 5}, 2},
        {"single entry one step right", {2}, 4, {0, 1, 3, 2, 4, 5}, 3},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TThumbStrip s;
        fillStrip(s, 6);
        selectInOrder(s, c.selection);
        const int current = idAt(s, s.SelectedIndex());
        EXPECT_EQ(s.MoveSelectedImagesTo(c.target), c.firstMoved);
        EXPECT_EQ(idsOf(s), c.expected);
        // Still selected, same order, and the current entry is the same one.
        std::vector<int> selectedIds;
        for (int32_t i : s.MultiSelectedIndices()) selectedIds.push_back(idAt(s, i));
        EXPECT_EQ(selectedIds, std::vector<int>(c.selection.begin(), c.selection.end()));
        EXPECT_EQ(idAt(s, s.SelectedIndex()), current);
        for (int32_t i = 0; i < s.ImageCount(); ++i)
            EXPECT_EQ(s.IsSelected(i), std::count(c.selection.begin(), c.selection.end(), idAt(s, i)) == 1);
    }
}

TEST(TThumbStrip, MoveReportsPermutationAndDoesNothingWithoutSelection) {
    TThumbStrip s;
    fillStrip(s, 4);
    std::vector<int32_t> seen;
    struct : TThumbStripObserver {
        std::vector<int32_t>* out;
        void ImagesReordered(std::span<const int32_t> sourceOf) override { out->assign(sourceOf.begin(), sourceOf.end()); }
    } obs;
    obs.out = &seen;
    s.AddObserver(&obs);

    EXPECT_EQ(s.MoveSelectedImagesTo(0), -1);
    EXPECT_TRUE(seen.empty());

    selectInOrder(s, {3, 0});
    s.MoveSelectedImagesTo(2);
    EXPECT_EQ(seen, (std::vector<int32_t>{1, 3, 0, 2}));
}

// --- Selection -------------------------------------------------------------

TEST(TThumbStrip, SelectionKeepsOrderAndCurrent) {
    TThumbStrip s;
    fillStrip(s, 6);
    selectInOrder(s, {4, 1, 3});
    EXPECT_EQ(s.MultiSelectedIndices(), (std::vector<int32_t>{4, 1, 3}));
    EXPECT_EQ(s.SelectedIndex(), 3);

    s.AddToSelection(4);  // already selected: keeps its place, becomes current
    EXPECT_EQ(s.MultiSelectedIndices(), (std::vector<int32_t>{4, 1, 3}));
    EXPECT_EQ(s.SelectedIndex(), 4);

    s.Deselect(4);  // the current one goes: the last selected takes over
    EXPECT_EQ(s.MultiSelectedIndices(), (std::vector<int32_t>{1, 3}));
    EXPECT_EQ(s.SelectedIndex(), 3);

    s.ToggleSelection(0);
    s.ToggleSelection(1);
    EXPECT_EQ(s.MultiSelectedIndices(), (std::vector<int32_t>{3, 0}));
    EXPECT_EQ(s.SelectedIndex(), 0);

    s.SelectAll();
    EXPECT_EQ(s.MultiSelectedIndices(), (std::vector<int32_t>{3, 0, 1, 2, 4, 5}));
    EXPECT_EQ(s.SelectedIndex(), 0);

    s.SetSelectedIndex(2);
    EXPECT_EQ(s.MultiSelectedIndices(), (std::vector<int32_t>{2}));
    EXPECT_TRUE(s.IsSelected(2));
    EXPECT_FALSE(s.IsSelected(3));

    s.SetSelectedIndex(-1);
    EXPECT_EQ(s.SelectedIndex(), -1);
    EXPECT_EQ(s.MultiSelectedCount(), 0);
}

TEST(TThumbStrip, InsertKeepsSelectedPositionsDeleteFollowsEntries) {
    TThumbStrip s;
    fillStrip(s, 4);
    s.SetSelectedIndex(2);
    // The loader inserts a run at the selected index; the index stays put.
    for (int k = 0; k < 3; ++k) s.SetUserPointer(s.InsertImage(2 + k), tag(10 + k));
    EXPECT_EQ(idsOf(s), (std::vector<int>{0, 1, 10, 11, 12, 2, 3}));
    EXPECT_EQ(s.SelectedIndex(), 2);
    EXPECT_FALSE(s.IsSelected(6));

    selectInOrder(s, {5, 1, 6});
    s.DeleteImage(6);  // the current entry goes
    EXPECT_EQ(s.MultiSelectedIndices(), (std::vector<int32_t>{5, 1}));
    EXPECT_EQ(s.SelectedIndex(), 1);
    s.DeleteImage(0);
    EXPECT_EQ(s.MultiSelectedIndices(), (std::vector<int32_t>{4, 0}));
    EXPECT_EQ(idAt(s, 4), 2);
    EXPECT_EQ(idAt(s, 0), 1);
}

// --- Painting --------------------------------------------------------------

TEST(TThumbStrip, NestedLocksRepaintOnceAtOutermostUnlock) {
    TThumbStrip s;
    TRecorder rec;
    s.AddObserver(&rec);
    s.LockUpdate();
    s.LockUpdate();
    fillStrip(s, 5);
    s.SetPicture(0, TRaster(300, 200, px24RGB));
    s.SetSelectedIndex(1);
    s.AddToSelection(3);
    s.MoveSelectedImagesTo(0);
    s.DeleteImage(4);
    s.Update();
    s.UnlockUpdate();
    EXPECT_EQ(rec.repaints, 0);
    EXPECT_TRUE(s.IsUpdateLocked());
    s.UnlockUpdate();
    EXPECT_EQ(rec.repaints, 1);
    // Structural notifications were not held back by the lock.
    EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), "reorder"), 1);

    s.UnlockUpdate();  // unbalanced: ignored
    EXPECT_EQ(rec.repaints, 1);
    EXPECT_FALSE(s.IsUpdateLocked());
    s.Update();
    EXPECT_EQ(rec.repaints, 2);
    s.LockUpdate();  // the counter did not go below zero
    s.Update();
    EXPECT_EQ(rec.repaints, 2);
}

// --- Keeping a parallel list in step ---------------------------------------

// What the loader does with its per-entry parameters: one value per entry,
// kept in order through the notifications alone.
struct TParallelList : TThumbStripObserver {
    const TThumbStrip* strip = nullptr;
    const int* nextId = nullptr;
    std::vector<int> ids;
    std::vector<int32_t> selection;

    void ImageInserted(int32_t i) override { ids.insert(ids.begin() + i, *nextId); }
    void ImageDeleted(int32_t i) override { ids.erase(ids.begin() + i); }
    void ImagesReordered(std::span<const int32_t> sourceOf) override {
        std::vector<int> next;
        for (int32_t from : sourceOf) next.push_back(ids.at(static_cast<size_t>(from)));
        ids = std::move(next);
    }
    void ImagesExchanged(int32_t a, int32_t b) override { std::swap(ids.at(a), ids.at(b)); }
    void ImagesCleared() override { ids.clear(); }
    void SelectionChanged() override { selection = strip->MultiSelectedIndices(); }
};

TEST(TThumbStrip, ObserverKeepsParallelListInStepThroughRandomOperations) {
    TThumbStrip s;
    int nextId = 1;
    TParallelList list;
    list.strip = &s;
    list.nextId = &nextId;
    s.AddObserver(&list);

    std::mt19937 rng(12345);
    auto pick = [&rng](int32_t n) { return std::uniform_int_distribution<int32_t>(0, n - 1)(rng); };
    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(step);
        const int32_t n = s.ImageCount();
        switch (pick(10)) {
            case 0:
            case 1:
            case 2: {
                // The observer takes nextId as the new entry's id.
                const int32_t at = pick(3) == 0 ? s.AppendImage() : s.InsertImage(pick(n + 1));
                s.SetUserPointer(at, tag(nextId));
                ++nextId;
                break;
            }
            case 3:
                if (n > 0) s.DeleteImage(pick(n));
                break;
            case 4:
                if (n > 0) s.ExchangeImages(pick(n), pick(n));
                break;
            case 5:
                if (n > 0) s.ToggleSelection(pick(n));
                break;
            case 6:
            case 7: s.MoveSelectedImagesTo(pick(n + 2) - 1); break;
            case 8:
                if (s.IsUpdateLocked()) s.UnlockUpdate();
                else s.LockUpdate();
                break;
            case 9:
                if (pick(20) == 0) s.Clear();
                else if (n > 0) s.SetSelectedIndex(pick(n + 1) - 1);
                break;
        }
        ASSERT_EQ(list.ids, idsOf(s));
        ASSERT_EQ(list.selection, s.MultiSelectedIndices());
    }
}

// --- Thumbnails ------------------------------------------------------------

TEST(Thumbnail, FitsBoxKeepingAspect) {
    struct Case {
        int32_t w, h;
        TThumbnailSize expected;
    } const kCases[] = {
        {1000, 500, {120, 60}}, {500, 1000, {60, 120}}, {300, 300, {120, 120}}, {121, 1, {120, 1}},
        {5000, 3, {120, 1}},    {1, 1000, {1, 120}},    {40, 30, {40, 30}},     {120, 120, {120, 120}},
        {120, 121, {119, 120}}, {0, 50, {0, 0}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        EXPECT_EQ(FitIntoBox(c.w, c.h, 120, 120), c.expected);
    }
}

// A pattern blown up 2x in each direction in the given layout; halving it
// back must give the pattern exactly in every layout.
TRaster blowUp(const TRaster& pattern, TPixelLayout layout) {
    TRaster big(pattern.Width() * 2, pattern.Height() * 2, layout);
    if (layout == px8p) {
        big.Palette() = {MakeRGB(0, 0, 0), MakeRGB(250, 10, 20), MakeRGB(30, 200, 90), MakeRGB(255, 255, 255)};
    }
    for (int32_t y = 0; y < big.Height(); ++y)
        for (int32_t x = 0; x < big.Width(); ++x) {
            const TRGB c = pattern.PixelRGB(x / 2, y / 2);
            if (layout == px8p) big.Scanline(y)[x] = static_cast<uint8_t>((x / 2 + y / 2) % 4);
            else big.SetPixelRGB(x, y, c);
        }
    return big;
}

TEST(Thumbnail, AreaAverageOfEachSourceLayout) {
    const TRaster pattern = test::MakePhotoLike(120, 60);
    for (TPixelLayout layout : {px24RGB, px8g, px1g, px8p}) {
        SCOPED_TRACE(static_cast<int>(layout));
        const TRaster big = blowUp(pattern, layout);
        const TRaster thumb = MakeThumbnail(big, 120, 120);
        ASSERT_EQ(thumb.Width(), 120);
        ASSERT_EQ(thumb.Height(), 60);
        EXPECT_EQ(thumb.PixelLayout(), px24RGB);
        EXPECT_FALSE(thumb.HasAlphaChannel());
        for (int32_t y = 0; y < 60; ++y)
            for (int32_t x = 0; x < 120; ++x) ASSERT_EQ(thumb.PixelRGB(x, y), big.PixelRGB(2 * x, 2 * y)) << x << "," << y;
    }
}

TEST(Thumbnail, FractionalRatiosAverageByArea) {
    // 1-pixel stripes black/white averaged over an odd span, and a flat
    // colour that must stay flat at a ratio with no common factor.
    const TRaster stripes = test::MakeRGBRaster(240, 7, [](int32_t x, int32_t) {
        return x % 2 ? MakeRGB(255, 255, 255) : MakeRGB(0, 0, 0);
    });
    const TRaster t = MakeThumbnail(stripes, 120, 120);
    ASSERT_EQ(t.Width(), 120);
    for (int32_t x = 0; x < 120; ++x) ASSERT_EQ(t.PixelRGB(x, 3), MakeRGB(128, 128, 128));

    const TRaster flat = test::MakeRGBRaster(367, 211, [](int32_t, int32_t) { return MakeRGB(17, 99, 201); });
    const TRaster f = MakeThumbnail(flat, 120, 120);
    EXPECT_EQ(f.Width(), 120);
    EXPECT_EQ(f.Height(), 69);
    for (int32_t y = 0; y < f.Height(); ++y)
        for (int32_t x = 0; x < f.Width(); ++x) ASSERT_EQ(f.PixelRGB(x, y), MakeRGB(17, 99, 201));
}

// Straight from the definition: each target pixel averages the source
// pixels it overlaps, weighted by the overlap's area (intervals on a common
// axis), colours weighted by alpha where there is any.
TRaster referenceThumbnail(const TRaster& src, int32_t dw, int32_t dh) {
    const int64_t sw = src.Width(), sh = src.Height();
    const auto overlap = [](int64_t s, int64_t d, int64_t srcLen, int64_t dstLen) {
        return std::max<int64_t>(0, std::min((s + 1) * dstLen, (d + 1) * srcLen) - std::max(s * dstLen, d * srcLen));
    };
    TRaster out(dw, dh, px24RGB);
    if (src.HasAlphaChannel()) out.AlphaChannel();
    const uint64_t area = static_cast<uint64_t>(sw * sh);
    for (int32_t dy = 0; dy < dh; ++dy)
        for (int32_t dx = 0; dx < dw; ++dx) {
            uint64_t plain[3] = {}, weighted[3] = {}, alphaSum = 0;
            for (int64_t y = 0; y < sh; ++y) {
                const int64_t wy = overlap(y, dy, sh, dh);
                for (int64_t x = 0; wy > 0 && x < sw; ++x) {
                    const auto w = static_cast<uint64_t>(wy * overlap(x, dx, sw, dw));
                    const TRGB c = src.PixelRGB(static_cast<int32_t>(x), static_cast<int32_t>(y));
                    const uint64_t a = src.Alpha(static_cast<int32_t>(x), static_cast<int32_t>(y));
                    const uint8_t ch[3] = {c.r, c.g, c.b};
                    for (int k = 0; k < 3; ++k) {
                        plain[k] += w * ch[k];
                        weighted[k] += w * a * ch[k];
                    }
                    alphaSum += w * a;
                }
            }
            uint8_t v[3];
            for (int k = 0; k < 3; ++k)
                v[k] = static_cast<uint8_t>(out.HasAlphaChannel() && alphaSum > 0 ? (weighted[k] + alphaSum / 2) / alphaSum
                                                                                 : (plain[k] + area / 2) / area);
            out.SetPixelRGB(dx, dy, MakeRGB(v[0], v[1], v[2]));
            if (out.HasAlphaChannel()) out.AlphaChannel().Scanline(dy)[dx] = static_cast<uint8_t>((alphaSum + area / 2) / area);
        }
    return out;
}

TEST(Thumbnail, MatchesDirectAreaAverageAtAwkwardRatios) {
    struct Case {
        int32_t w, h;
        bool alpha;
    };
    // Ratios with no common factor, a span of one or two pixels, a single
    // row, spans too tall for 16-bit column sums, and alpha on both sides of
    // the size where the sums need 64 bits.
    const Case cases[] = {
        {367, 211, false}, {401, 226, false}, {121, 250, false}, {241, 3, false},
        {130, 7, false},   {2, 40000, false}, {300, 250, true},  {200, 170, true},  {1000, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + (c.alpha ? " alpha" : ""));
        TRaster src = test::MakePhotoLike(c.w, c.h, static_cast<uint32_t>(c.w + c.h));
        if (c.alpha) {
            std::mt19937 random(7);
            TRaster& alpha = src.AlphaChannel();
            // Some wholly transparent pixels, some opaque, the rest between.
            for (int32_t y = 0; y < c.h; ++y)
                for (int32_t x = 0; x < c.w; ++x)
                    alpha.Scanline(y)[x] = static_cast<uint8_t>(std::min<uint32_t>(random() % 300, 255) * (x % 5 != 0));
        }
        const TRaster t = MakeThumbnail(src, 120, 120);
        const TThumbnailSize size = FitIntoBox(c.w, c.h, 120, 120);
        ASSERT_EQ(t.Width(), size.Width);
        ASSERT_EQ(t.Height(), size.Height);
        const TRaster expected = referenceThumbnail(src, size.Width, size.Height);
        ASSERT_EQ(t.HasAlphaChannel(), c.alpha);
        for (int32_t y = 0; y < t.Height(); ++y)
            for (int32_t x = 0; x < t.Width(); ++x) {
                ASSERT_EQ(t.PixelRGB(x, y), expected.PixelRGB(x, y)) << x << "," << y;
                ASSERT_EQ(t.Alpha(x, y), expected.Alpha(x, y)) << x << "," << y;
            }
    }
}

TEST(Thumbnail, AlphaIsAveragedAndHiddenColoursDoNotBleed) {
    // In every 2x2 block one opaque green pixel and three transparent red ones.
    TRaster big = test::MakeRGBRaster(240, 240, [](int32_t x, int32_t y) {
        return (x % 2 == 0 && y % 2 == 0) ? MakeRGB(0, 200, 0) : MakeRGB(255, 0, 0);
    });
    TRaster& alpha = big.AlphaChannel();
    for (int32_t y = 0; y < 240; ++y)
        for (int32_t x = 0; x < 240; ++x) alpha.Scanline(y)[x] = (x % 2 == 0 && y % 2 == 0) ? 255 : 0;
    // The bottom-right quarter is wholly transparent: its colour is the plain average.
    for (int32_t y = 120; y < 240; ++y)
        for (int32_t x = 120; x < 240; ++x) alpha.Scanline(y)[x] = 0;

    const TRaster t = MakeThumbnail(big, 120, 120);
    ASSERT_EQ(t.Width(), 120);
    ASSERT_TRUE(t.HasAlphaChannel());
    EXPECT_EQ(t.PixelRGB(10, 10), MakeRGB(0, 200, 0));
    EXPECT_EQ(t.Alpha(10, 10), 64);
    EXPECT_EQ(t.PixelRGB(100, 100), MakeRGB(191, 50, 0));
    EXPECT_EQ(t.Alpha(100, 100), 0);
}

TEST(Thumbnail, PictureThatFitsIsKeptAsItIs) {
    TRaster small(40, 30, px8p);
    small.Palette() = {MakeRGB(1, 2, 3), MakeRGB(4, 5, 6)};
    small.Scanline(7)[9] = 1;
    small.AlphaChannel().Scanline(2)[3] = 77;
    const TRaster t = MakeThumbnail(small, 120, 120);
    EXPECT_EQ(t.PixelLayout(), px8p);
    EXPECT_EQ(t.Palette(), small.Palette());
    EXPECT_EQ(t.PixelRGB(9, 7), MakeRGB(4, 5, 6));
    ASSERT_TRUE(t.HasAlphaChannel());
    EXPECT_EQ(t.Alpha(3, 2), 77);

    // Source-only layouts are made displayable.
    TRaster deep(10, 10, px48RGB);
    EXPECT_EQ(MakeThumbnail(deep, 120, 120).PixelLayout(), px24RGB);
    EXPECT_TRUE(MakeThumbnail(TRaster(), 120, 120).IsEmpty());
}

TEST(TThumbStrip, SetPictureStoresReducedCopyAndFullSize) {
    struct Case {
        int32_t w, h;
        int32_t storedW, storedH;
    } const kCases[] = {{1600, 1200, 120, 90}, {90, 1600, 7, 120}, {40, 30, 40, 30}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        TThumbStrip s;
        s.AppendImage();
        s.SetPicture(0, TRaster(c.w, c.h, px24RGB));
        EXPECT_EQ(s.StoredImageWidth(0), c.storedW);
        EXPECT_EQ(s.StoredImageHeight(0), c.storedH);
        EXPECT_EQ(s.Entry(0).OriginalWidth, c.w);
        EXPECT_EQ(s.Entry(0).OriginalHeight, c.h);
        EXPECT_FALSE(s.Entry(0).Placeholder);
    }
}

// --- Loading by file ---------------------------------------------------------

TEST(TThumbStrip, FileLoaderFailuresGivePlaceholder) {
    using Loader = TThumbStrip::TFileLoader;
    struct Case {
        const char* name;
        Loader loader;
        bool ok;
        int32_t originalW, originalH, storedW, storedH;
    } const kCases[] = {
        {"no loader", Loader{}, false, 0, 0, 64, 64},
        {"loader fails", [](const std::filesystem::path&, TRaster&, int32_t&, int32_t&) { return false; }, false, 0, 0,
         64, 64},
        {"loader throws",
         [](const std::filesystem::path&, TRaster&, int32_t&, int32_t&) -> bool { throw std::runtime_error("bad"); },
         false, 0, 0, 64, 64},
        {"loader succeeds with nothing", [](const std::filesystem::path&, TRaster&, int32_t&, int32_t&) { return true; },
         false, 0, 0, 64, 64},
        {"loader read at reduced size",
         [](const std::filesystem::path&, TRaster& out, int32_t& fw, int32_t& fh) {
             out.Allocate(400, 300, px24RGB);
             fw = 4000;
             fh = 3000;
             return true;
         },
         true, 4000, 3000, 120, 90},
        {"loader without full size",
         [](const std::filesystem::path&, TRaster& out, int32_t&, int32_t&) {
             out.Allocate(50, 20, px8g);
             return true;
         },
         true, 50, 20, 50, 20},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        TThumbStrip s;
        s.AppendImage();
        s.SetPicture(0, TRaster(10, 10, px24RGB));
        s.FileLoader = c.loader;
        TRecorder rec;
        s.AddObserver(&rec);
        EXPECT_EQ(s.LoadPictureFromFile(0, "/nowhere/a.png"), c.ok);
        EXPECT_EQ(s.Entry(0).Placeholder, !c.ok);
        EXPECT_EQ(s.Entry(0).OriginalWidth, c.originalW);
        EXPECT_EQ(s.Entry(0).OriginalHeight, c.originalH);
        EXPECT_EQ(s.StoredImageWidth(0), c.storedW);
        EXPECT_EQ(s.StoredImageHeight(0), c.storedH);
        EXPECT_EQ(rec.repaints, 1);
    }
}

TEST(TThumbStrip, PlaceholderFitsASmallBoxAndEmptyPictureGivesIt) {
    TThumbStrip s;
    s.SetThumbSize(80, 40);
    s.AppendImage();
    s.SetPicture(0, TRaster());
    EXPECT_TRUE(s.Entry(0).Placeholder);
    EXPECT_LE(s.StoredImageWidth(0), 80);
    EXPECT_LE(s.StoredImageHeight(0), 40);
    EXPECT_GT(s.StoredImageWidth(0), 0);
}

// --- Geometry ----------------------------------------------------------------

TEST(TThumbStrip, InsertingPointAndHitTest) {
    TThumbStrip s;
    fillStrip(s, 6);
    struct Case {
        int32_t x;
        int32_t point;
    } const kPoints[] = {{-5, 0}, {0, 0}, {124, 0}, {125, 1}, {499, 3}, {500, 4}, {749, 5}, {750, 6}, {5000, 6}};
    for (const Case& c : kPoints) EXPECT_EQ(s.InsertingPoint(c.x), c.point) << c.x;

    struct Hit {
        int32_t x, y, index;
    } const kHits[] = {
        {5, 6, 0},     {4, 6, -1},    {124, 125, 0}, {125, 50, -1}, {129, 50, -1},
        {130, 50, 1},  {130, 126, -1}, {130, 5, -1},  {634, 60, 5},  {760, 60, -1},
    };
    for (const Hit& h : kHits) EXPECT_EQ(s.ImageAtPosition(h.x, h.y), h.index) << h.x << "," << h.y;
    EXPECT_EQ(s.CellOriginX(2), 255);
    EXPECT_EQ(s.CellOriginY(2), 6);
}

TEST(TThumbStrip, ReserveStorageHintIsBounded) {
    TThumbStrip s;
    EXPECT_NO_THROW(s.ReserveStorage(INT32_MAX, 1920, 1080, 24));
    EXPECT_NO_THROW(s.ReserveStorage(-4, 0, 0, 0));
    EXPECT_EQ(s.ImageCount(), 0);
}

}  // namespace
}  // namespace loopsmith
