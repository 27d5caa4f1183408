#pragma once
// The parameter set that travels with an image through reading and writing,
// and the progress context the codecs receive.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "imaging/raster.h"

namespace loopsmith {

class TStream;

// Writes the minimum code size byte, the data sub-blocks and the terminator.
using TGifLzwEncodeFunc = void (*)(TStream& out, int32_t height, int32_t width, int32_t bits, const uint8_t* pixels,
                                   bool interlaced);
// Reads one image's data, from the minimum code size byte to the block
// terminator, into `pixels` (width x height bytes, rows from the top). On
// failure it returns false and puts the stream back where it was.
using TGifLzwDecodeFunc = bool (*)(TStream& in, int32_t height, int32_t width, bool interlaced, uint8_t* pixels);

// Process-wide coders; set once at start-up to the built-in ones.
extern TGifLzwEncodeFunc DefaultGifLzwEncoder;
extern TGifLzwDecodeFunc DefaultGifLzwDecoder;

// Resolution a parameter set starts with.
constexpr int32_t kDefaultDpi = 300;

using TProgressEvent = std::function<void(void* sender, int percent)>;

struct TProgressContext {
    TProgressEvent OnProgress;
    void* Sender = nullptr;
    bool& AbortFlag;

    explicit TProgressContext(bool& abortFlag, TProgressEvent onProgress = {}, void* sender = nullptr)
        : OnProgress(std::move(onProgress)), Sender(sender), AbortFlag(abortFlag) {}

    void Report(int percent) const {
        if (OnProgress) OnProgress(Sender, percent);
    }
};

class TIOParams {
public:
    TIOParams() { SetDefaults(); }

    void SetDefaults();
    // Forgets the per-file texts and lists; numbers and GIF fields stay.
    void ClearInfo();
    void SetImageIndex(int32_t n);
    void SetImageCount(int32_t n);

    int32_t ChannelBits = 8;
    int32_t ChannelCount = 3;
    int32_t ImageWidth = 0;
    int32_t ImageHeight = 0;
    int32_t OriginalWidth = 0;
    int32_t OriginalHeight = 0;
    int32_t DotsPerInchX = kDefaultDpi;
    int32_t DotsPerInchY = kDefaultDpi;
    std::string FileName;  // UTF-8
    int32_t FileKind = 0;  // a TFileKind code

    std::string GifSignature = "GIF89a";
    int32_t GifImageIndex = 0;
    int32_t GifImageCount = 0;
    int32_t GifLeft = 0;
    int32_t GifTop = 0;
    int32_t GifDelay = 0;  // hundredths of a second
    bool GifTransparent = false;
    TRGB GifTransparentColor{};
    bool GifInterlaced = false;
    int32_t GifScreenWidth = 0;
    int32_t GifScreenHeight = 0;
    TRGB GifBackgroundColor{};
    int32_t GifAspect = 0;
    std::vector<std::string> GifComments;  // UTF-8
    uint8_t GifDisposal = 2;
    TGifLzwDecodeFunc GifLzwDecoder = nullptr;
    TGifLzwEncodeFunc GifLzwEncoder = nullptr;
    std::vector<TRGB> SourcePalette;
    int32_t SourcePaletteCount = 0;

    // Image index and count of the other multi-image formats.
    int32_t TIFFImageIndex = 0, TIFFImageCount = 0;
    int32_t ICOImageIndex = 0, ICOImageCount = 0;
    int32_t DCXImageIndex = 0, DCXImageCount = 0;
    int32_t DICOMImageIndex = 0, DICOMImageCount = 0;

    // Video (AVI) access.
    int32_t AVIFrameCount = 0;
    int32_t AVIFrameDelay = 0;  // milliseconds
    int32_t NativePixelFormat = 0;

    // Description values from TIFF tags and Exif blocks (UTF-8).
    std::string Artist, XPTitle, XPComment, XPAuthor, XPKeywords, XPSubject;

private:
    struct NoDefaults {};
    explicit TIOParams(NoDefaults) {}
};

}  // namespace loopsmith
