#include "render/export.h"

#include <algorithm>
#include <memory>

#include "gif/gif_animation_writer.h"
#include "render/frame_render.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

// Where rendered frames go: the animation writer, or save-then-insert.
class TFrameSink {
public:
    virtual ~TFrameSink() = default;
    // Returns false when the frame was not added; throws EFileError when
    // the output cannot be created.
    virtual bool Add(TImageView& view, int32_t k) = 0;
    virtual void Finish() {}
};

class TLinearSink final : public TFrameSink {
public:
    explicit TLinearSink(const std::filesystem::path& output) : m_writer(output) {}
    bool Add(TImageView& view, int32_t) override {
        bool abort = false;
        TProgressContext ctx(abort);
        return m_writer.AddFrame(view.Bitmap(), view.Params(), ctx) > 0;
    }
    void Finish() override { m_writer.Finish(); }

private:
    TGifAnimationWriter m_writer;
};

class TSaveAndInsertSink final : public TFrameSink {
public:
    explicit TSaveAndInsertSink(std::filesystem::path output) : m_output(std::move(output)) {}
    bool Add(TImageView& view, int32_t k) override {
        if (k == 0) {
            view.IO().SaveGifFile(m_output);
            return !view.IO().Aborting();
        }
        return view.IO().InsertGifFrame(m_output) > 0;
    }

private:
    std::filesystem::path m_output;
};

int32_t checkedCount(const std::vector<TFrameListEntry>& list) {
    int32_t n = 0;
    for (const TFrameListEntry& e : list) n += e.Rec.Checked ? 1 : 0;
    return n;
}

// Renders entry `entry` and hands it to the sink as frame k. Returns the
// reason it was skipped, empty when it was written.
std::string saveFrameToGif(const TFrameListEntry& entry, const TExportSettings& s, TImageView& view, int32_t k,
                           TFrameSink& sink) {
    TIOParams& params = view.Params();
    params.ClearInfo();
    TLoadResult load;
    try {
        load = LoadSourceFrame(view, entry.FullPath, entry.Rec.FrameIndex);
    } catch (const EFileError& e) {
        return "cannot open " + entry.FullPath;
    }
    if (!load.Ok) return load.Reason;
    ApplySizeMode(view, s.Width, s.Height, s.SizeMode, s.RemoveAlpha, false);
    // A frame is transparent exactly when it has an alpha plane; a flag left
    // by an earlier frame or a GIF read must not eat an opaque frame's pixels.
    params.GifTransparent = view.Bitmap().HasAlphaChannel();
    // The rendered frame fills the output: a source GIF's screen and image
    // position describe the source, not this animation.
    params.GifLeft = 0;
    params.GifTop = 0;
    params.GifScreenWidth = s.Width;
    params.GifScreenHeight = s.Height;
    if (k == 0) {
        params.GifDelay = DelayToCentiseconds(s.DelayMs);
    } else {
        params.SetImageIndex(k);
    }
    return sink.Add(view, k) ? std::string() : "the frame could not be encoded";
}

// The work view never restores a snapshot, and copying every full-size
// frame into one costs as much as scaling it. Only the last entries, as many
// as the view keeps, save theirs, so the view ends as it would otherwise.
class TSnapshotsForLastEntries {
public:
    TSnapshotsForLastEntries(TImageProc& proc, int32_t total)
        : m_proc(proc), m_on(proc.AutoSnapshot), m_firstKept(total - std::max(proc.SnapshotLimit(), 0)) {}
    ~TSnapshotsForLastEntries() { m_proc.AutoSnapshot = m_on; }
    TSnapshotsForLastEntries(const TSnapshotsForLastEntries&) = delete;
    TSnapshotsForLastEntries& operator=(const TSnapshotsForLastEntries&) = delete;

    // Before the entry that is the done-th checked one (0-based).
    void Before(int32_t done) { m_proc.AutoSnapshot = m_on && done >= m_firstKept; }

private:
    TImageProc& m_proc;
    const bool m_on;
    const int32_t m_firstKept;
};

TExportReport runExport(const std::vector<TFrameListEntry>& list, const TExportSettings& settings,
                        TImageView& view, const TExportProgress& progress, TFrameSink& sink) {
    TExportReport report;
    const int32_t total = checkedCount(list);
    TSnapshotsForLastEntries snapshots(view.Proc(), total);
    int32_t done = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        if (!list[i].Rec.Checked) continue;
        if (progress) progress(done, total);
        snapshots.Before(done);
        ++done;
        std::string skipped;
        try {
            skipped = saveFrameToGif(list[i], settings, view, report.FramesWritten, sink);
        } catch (const EFileError& e) {
            report.FileError = e.what();
            return report;
        } catch (const std::exception& e) {
            skipped = e.what();
        }
        if (skipped.empty()) ++report.FramesWritten;
        else report.Skipped.push_back(TExportSkip{static_cast<int32_t>(i), skipped});
    }
    if (progress) progress(done, total);
    try {
        sink.Finish();
    } catch (const std::exception& e) {
        report.FileError = e.what();
    }
    return report;
}

}  // namespace

int32_t DelayToCentiseconds(int32_t delayMs) {
    int32_t q = delayMs / 10, r = delayMs % 10;
    if (r > 5 || (r == 5 && (q % 2) == 1)) ++q;
    return q;
}

TExportReport ExportGif(const std::vector<TFrameListEntry>& list, const std::filesystem::path& output,
                        const TExportSettings& settings, TImageView& workView, const TExportProgress& progress) {
    TLinearSink sink(output);
    return runExport(list, settings, workView, progress, sink);
}

TExportReport ExportGifBySaveAndInsert(const std::vector<TFrameListEntry>& list, const std::filesystem::path& output,
                                       const TExportSettings& settings, TImageView& workView,
                                       const TExportProgress& progress) {
    TSaveAndInsertSink sink(output);
    return runExport(list, settings, workView, progress, sink);
}

}  // namespace loopsmith
