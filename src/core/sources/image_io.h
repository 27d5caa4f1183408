#pragma once
// The single-image input/output component: it owns one image and the
// parameter set that travels with it.

#include <filesystem>
#include <functional>
#include <memory>

#include "imaging/io_params.h"
#include "imaging/raster.h"
#include "sources/video_source.h"

namespace loopsmith {

class TStream;
struct TImageReader;

class TImageIO {
public:
    TImageIO();
    ~TImageIO();
    TImageIO(const TImageIO&) = delete;
    TImageIO& operator=(const TImageIO&) = delete;

    TRaster& Bitmap() { return m_image; }
    const TRaster& Bitmap() const { return m_image; }
    TIOParams& Params() { return m_params; }
    const TIOParams& Params() const { return m_params; }
    bool Aborting() const { return m_aborting; }

    // Writes the image as a new single-frame GIF (an existing file is
    // replaced). Throws EFileError when the file cannot be created.
    void SaveGifFile(const std::filesystem::path& fileName);
    void SaveGifStream(TStream& stream);
    // Inserts the image as frame GifImageIndex and makes the file loop.
    // Returns the file's image count afterwards, 0 when nothing was done.
    int32_t InsertGifFrame(const std::filesystem::path& fileName);
    // Frame GifImageIndex as an animation viewer shows it: the logical
    // screen after images 0..n (a single-image file gives the image).
    // Returns the file's image count; failure shows in Aborting().
    int32_t LoadGifStream(TStream& stream);
    // The same from a file, which is opened for reading (EFileError when it
    // cannot be); FileName is set to the name.
    int32_t LoadGifFile(const std::filesystem::path& fileName);

    // Reads the image the parameter set's index names with `reader`; the
    // image is replaced only when the read succeeds. FileName is set to the
    // name. Throws EFileError when the file cannot be opened.
    bool LoadFromFile(const std::filesystem::path& fileName, const TImageReader& reader);

    // The parameters-only read: the kind (extension checked), then that
    // kind's reader fills the parameter set for image GifImageIndex without
    // decoding pixels. FileKind ends 0 when the kind is unknown or the read
    // fails; a kind without a reader reads nothing. Never throws.
    void ParamsFromFile(const std::filesystem::path& fileName);

    // AVI frame access through DefaultAviFrameSource(). The first video
    // stream stays open until the next OpenAviFile, CloseAviFile or the
    // component's end. Returns its frame count; 0 with Aborting() set when
    // the file cannot be read as AVI. FileName is set to the name and
    // FileKind to 0; AVIFrameCount and AVIFrameDelay on success.
    int32_t OpenAviFile(const std::filesystem::path& fileName);
    // Frame n of the open stream into the image, with the parameters that
    // describe it. Nothing changes for an index beyond the stream or a frame
    // that cannot be delivered (Aborting() stays clear).
    void LoadAviFrame(uint32_t n);
    void CloseAviFile();

    TProgressEvent OnProgress;
    std::function<void()> OnFinishWork;

private:
    TProgressContext progressContext();
    void finishWork();

    TRaster m_image;
    TIOParams m_params;
    bool m_aborting = false;
    // The GIF last loaded by file name, kept so that the next frame of it
    // continues from the canvas already composed.
    struct TGifFileCursor;
    std::unique_ptr<TGifFileCursor> m_gifCursor;
    std::unique_ptr<TVideoFrameSource> m_avi;
    TVideoStreamInfo m_aviInfo;
};

}  // namespace loopsmith
