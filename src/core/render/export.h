#pragma once
// "Save as": every checked entry of the frame list, in list order, rendered
// afresh and written as one looping animated GIF.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "render/image_view.h"

namespace loopsmith {

// Per entry of the frame list.
struct TFrameEntryRec {
    bool Checked = true;
    int32_t FrameIndex = 0;  // the frame's index within its source file
};

struct TFrameListEntry {
    std::string FullPath;
    std::string Caption;
    TFrameEntryRec Rec;
};

struct TExportSettings {
    int32_t Width = 200;
    int32_t Height = 100;
    int32_t DelayMs = 200;
    int32_t SizeMode = 0;  // TSizeMode
    bool RemoveAlpha = false;
};

struct TExportSkip {
    int32_t Entry = 0;  // index in the list
    std::string Reason;
};

struct TExportReport {
    int32_t FramesWritten = 0;
    std::vector<TExportSkip> Skipped;
    // Set when the output file could not be created or written; nothing
    // useful was written then.
    std::string FileError;
};

// Called before each checked entry is rendered: entries done so far and
// the number of checked entries.
using TExportProgress = std::function<void(int32_t done, int32_t total)>;

// Milliseconds to the hundredths a GIF stores, halves to even.
int32_t DelayToCentiseconds(int32_t delayMs);

// The export on the work view, writing through the linear animation writer.
TExportReport ExportGif(const std::vector<TFrameListEntry>& list, const std::filesystem::path& output,
                        const TExportSettings& settings, TImageView& workView, const TExportProgress& progress = {});

// The same export written the way a single-frame save followed by one
// insertion per frame writes it: the reference the fast path must match.
TExportReport ExportGifBySaveAndInsert(const std::vector<TFrameListEntry>& list, const std::filesystem::path& output,
                                       const TExportSettings& settings, TImageView& workView,
                                       const TExportProgress& progress = {});

}  // namespace loopsmith
