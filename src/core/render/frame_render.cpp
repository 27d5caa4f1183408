#include "render/frame_render.h"

#include "gif/gif_reader.h"
#include "sources/detect.h"
#include "sources/format_registry.h"
#include "sources/image_reader.h"
#include "sources/metafile_reader.h"

namespace loopsmith {

namespace {

TLoadResult failed(std::string reason) { return TLoadResult{false, std::move(reason)}; }

TLoadResult loadWithReader(TImageView& view, const std::filesystem::path& fileName, const TFileFormatInfo* format) {
    if (!format || !format->Reader || !format->Reader->Read) return failed("no reader for this kind of file");
    if (!view.IO().LoadFromFile(fileName, *format->Reader)) return failed("the file could not be read");
    return TLoadResult{true, {}};
}

TLoadResult loadVideoFrame(TImageView& view, const std::filesystem::path& fileName, int32_t n,
                           const TVideoSourceFactory& factory) {
    if (!factory) return failed("video files cannot be read (no video support installed)");
    TVideoStreamInfo info;
    TVideoFrameSource* video = view.OpenVideo(fileName, factory, info);
    if (!video) return failed("the video could not be opened");
    TRaster frame;
    if (n < 0 || n >= info.FrameCount || !video->ReadFrame(n, frame) || frame.IsEmpty())
        return failed("frame " + std::to_string(n) + " of the video could not be read");
    view.Bitmap() = std::move(frame);
    return TLoadResult{true, {}};
}

}  // namespace

TLoadResult LoadSourceFrame(TImageView& view, const std::filesystem::path& fileName, int32_t n) {
    const TFileKind kind = DetectFileKind(fileName, /*checkExtension=*/false);
    switch (kind) {
        case fkGIF:
            view.Params().SetImageIndex(n);
            view.IO().LoadGifFile(fileName);
            if (view.IO().Aborting()) return failed("frame " + std::to_string(n) + " could not be read");
            return TLoadResult{true, {}};
        case fkTIFF:
        case fkICO:
        case fkDCX:
        // The image index reaches DICOM files too, so each entry shows its own image.
        case fkDICOM:
            view.Params().SetImageIndex(n);
            return loadWithReader(view, fileName, FindFormatByKind(kind));
        case fkAVI: return loadVideoFrame(view, fileName, n, DefaultAviFrameSource());
        case fkWMF:
        case fkEMF: return failed(kMetafileRefusal);
        default: break;
    }
    const TFileFormatInfo* format = FindFormatByExtension(FileNameExtension(fileName));
    if (format && format->Reader) return loadWithReader(view, fileName, format);
    // Videos that only the media walk can read are rendered through it.
    return loadVideoFrame(view, fileName, n, DefaultMediaFrameSource());
}

void ApplySizeMode(TImageView& view, int32_t width, int32_t height, int32_t sizeMode, bool removeAlpha, bool restore) {
    TImageProc& proc = view.Proc();
    if (restore) {
        proc.RestoreSnapshot(proc.SnapshotCount() - 1);
        proc.ClearSnapshots();
    }
    const TRaster& image = view.Bitmap();
    const double qw = static_cast<double>(image.Width()) / width;
    const double qh = static_cast<double>(image.Height()) / height;
    switch (sizeMode) {
        case smStretch: proc.Resample(width, height, rfFastLinear); break;
        case smFit:
            if (qw > qh) proc.Resample(width, -1, rfFastLinear);
            else proc.Resample(-1, height, rfFastLinear);
            proc.ImageResize(width, height, haCenter, vaCenter, 0);
            break;
        case smCut:
            if (qw > qh) proc.Resample(-1, height, rfFastLinear);
            else proc.Resample(width, -1, rfFastLinear);
            proc.ImageResize(width, height, haCenter, vaCenter, 255);
            break;
        default: break;
    }
    if (removeAlpha) proc.FlattenAlpha(/*merge=*/true);
}

}  // namespace loopsmith
