#pragma once
// The multi-frame loader: turns one file into a run of new entries of the
// thumbnail strip, one per frame, page or image, and keeps one parameter
// record per entry in step with the strip.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "imaging/io_params.h"
#include "imaging/raster.h"
#include "sources/file_kind.h"
#include "sources/thumb_strip.h"
#include "sources/video_source.h"

namespace loopsmith {

class TStream;


// A TThumbStrip::FileLoader that reads image 0 of any file through the
// registry's reader for its kind (from the content, else the extension),
// alpha kept. False when no reader takes the file or reading fails.
bool LoadPictureWithRegistry(const std::filesystem::path& fileName, TRaster& picture, int32_t& fullWidth,
                             int32_t& fullHeight);

class TMultiImageIO : private TThumbStripObserver {
public:
    TMultiImageIO() = default;
    ~TMultiImageIO() override;
    TMultiImageIO(const TMultiImageIO&) = delete;
    TMultiImageIO& operator=(const TMultiImageIO&) = delete;

    // The strip must outlive the attachment. Attaching resizes EntryParams
    // to the strip's length (new records have defaults) and installs
    // LoadPictureWithRegistry as the strip's FileLoader when it has none.
    void AttachMView(TThumbStrip* view);
    void DetachMView() { AttachMView(nullptr); }
    TThumbStrip* AttachedMView() const { return m_view; }

    // One record per entry of the attached strip, in its order. A loaded
    // frame's record names the frame's index within its file (not the
    // entry's place in the strip, which changes as entries move), so the
    // record reads the same frame again.
    int32_t EntryParamsCount() const { return static_cast<int32_t>(m_entryParams.size()); }
    TIOParams& EntryParams(int32_t index);
    const TIOParams& EntryParams(int32_t index) const;

    // Detects the kind from the content and takes the matching path.
    void LoadFramesFromFile(const std::filesystem::path& fileName);
    void LoadFramesOfKind(const std::filesystem::path& fileName, TFileKind kind);
    // Chooses the path by the name's extension alone.
    void LoadFramesByExtension(const std::filesystem::path& fileName);

    // Stream forms read from the stream's position; file forms open the
    // file (EFileError when it cannot be) and record its name as FileName.
    void LoadGIFFrames(TStream& stream);
    void LoadGIFFrames(const std::filesystem::path& fileName);
    void LoadTIFFPages(TStream& stream);
    void LoadTIFFPages(const std::filesystem::path& fileName);
    void LoadIconImages(TStream& stream);
    void LoadIconImages(const std::filesystem::path& fileName);
    void LoadDCXPages(TStream& stream);
    void LoadDCXPages(const std::filesystem::path& fileName);
    void LoadDICOMImages(TStream& stream);
    void LoadDICOMImages(const std::filesystem::path& fileName);
    void LoadAVIFrames(const std::filesystem::path& fileName);
    void LoadMediaFrames(const std::filesystem::path& fileName);

    // Set when a load stopped early (corrupt data, an empty frame, nothing
    // to read, an exception on its way out); a progress handler may set it
    // to cancel. Entries of the frames read before the stop stay.
    bool Aborted = false;
    TProgressEvent OnProgress;
    std::function<void()> OnFinishWork;
    bool AutoAdjustDPI = false;  // kept for the interface; frames are never rescaled

    // Video backends; without one, AVI files go to the media path and the
    // media path yields nothing.
    TVideoSourceFactory AviFrameSource = DefaultAviFrameSource();
    TVideoSourceFactory MediaFrameSource = DefaultMediaFrameSource();

private:
    // TThumbStripObserver
    void ImageInserted(int32_t index) override;
    void ImageDeleted(int32_t index) override;
    void ImagesReordered(std::span<const int32_t> sourceOf) override;
    void ImagesExchanged(int32_t a, int32_t b) override;
    void ImagesCleared() override;

    // The body of one path; false when it hands the work on to another path
    // that raises the finish events itself.
    using TPathBody = std::function<bool(TThumbStrip& view)>;
    using TStreamBody = std::function<void(TThumbStrip& view, TStream& stream, const std::string& fileName)>;

    void resizeEntryParams(int32_t count);
    // The record an entry inserted at `index` starts with: a copy of its
    // neighbour's without the per-file texts, or defaults.
    TIOParams newRecordAt(int32_t index) const;
    // A frame's entry goes in only once the frame has been read.
    void insertFrameEntry(TThumbStrip& view, int32_t p, TIOParams&& params, const TRaster& picture);
    void removeFrameEntry(TThumbStrip& view, int32_t p);
    bool isPermutation(std::span<const int32_t> sourceOf) const;
    void installFileLoader();
    int32_t insertionPoint() const;
    void reportProgress(int percent);
    void reportFrameProgress(int32_t n, int32_t count);
    void finishWork(TThumbStrip& view);
    // Clears Aborted and, with a strip attached, runs `body` with the
    // strip's painting suspended; the finish events follow, also when
    // `body` throws.
    void runPath(const TPathBody& body);
    void runStreamPath(TStream& stream, const TStreamBody& body);
    void runFilePath(const std::filesystem::path& fileName, const TStreamBody& body);
    // Runs the path for a kind that has one; false for any other kind.
    bool loadByKind(const std::filesystem::path& fileName, TFileKind kind);

    void loadGifFrames(TThumbStrip& view, TStream& stream, const std::string& fileName);
    // The stream paths other than GIF, read through the registry's reader
    // for `kind`.
    void loadPages(TThumbStrip& view, TStream& stream, const std::string& fileName, TFileKind kind);
    void loadVideoFrames(TThumbStrip& view, TVideoFrameSource& source, const TVideoStreamInfo& info,
                         const std::string& fileName, TFileKind kind);
    void loadSingleImage(TThumbStrip& view, const std::filesystem::path& fileName);

    TThumbStrip* m_view = nullptr;
    std::vector<std::unique_ptr<TIOParams>> m_entryParams;
};

}  // namespace loopsmith
