#pragma once
// The description values and the resolution from the first directory of a
// TIFF-structured block: a JPEG's Exif segment, a TIFF file's page, a
// camera raw file. Every offset is checked and every count capped, so any
// bytes are safe to pass.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace loopsmith {

class TIOParams;

struct TExifInfo {
    // UTF-8; empty when the tag is absent.
    std::string Artist;
    std::string XPTitle, XPComment, XPAuthor, XPKeywords, XPSubject;
    // Resolution in dots per inch, when the block gives one in inches or
    // centimetres.
    std::optional<int32_t> DpiX, DpiY;
};

// TIFF tag numbers read here.
constexpr uint16_t kTagXResolution = 282;
constexpr uint16_t kTagYResolution = 283;
constexpr uint16_t kTagResolutionUnit = 296;
constexpr uint16_t kTagArtist = 315;
constexpr uint16_t kTagXPTitle = 0x9C9B;
constexpr uint16_t kTagXPComment = 0x9C9C;
constexpr uint16_t kTagXPAuthor = 0x9C9D;
constexpr uint16_t kTagXPKeywords = 0x9C9E;
constexpr uint16_t kTagXPSubject = 0x9C9F;

// Longest tag value taken, in bytes; longer values are cut.
constexpr uint32_t kExifMaxValueBytes = 65536;

// Reads the directory at `ifdOffset` of `tiff`, which starts with the
// "II*\0" or "MM\0*" header (offsets count from there). Nothing when the
// header or the directory is unreadable; a tag whose value lies outside
// the block is skipped.
std::optional<TExifInfo> ReadTiffDirectoryInfo(std::span<const uint8_t> tiff, uint32_t ifdOffset);
// The same for the first directory, the one the header points to.
std::optional<TExifInfo> ReadTiffInfo(std::span<const uint8_t> tiff);
// A JPEG APP1 payload: "Exif\0\0" followed by the TIFF block.
std::optional<TExifInfo> ReadExifSegment(std::span<const uint8_t> app1);

// The Windows fields hold UTF-16 little-endian text, whatever the block's
// byte order, ended by a zero unit. Unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::span<const uint8_t> bytes);
// TIFF ASCII up to the first zero byte; text that is not valid UTF-8 is
// taken as Latin-1, so the result is always UTF-8.
std::string TiffAsciiToUtf8(std::span<const uint8_t> bytes);
// Rounds a resolution to dots per inch: unit 2 inch, 3 centimetre; other
// units, and values that are not positive or are absurd, give nothing.
std::optional<int32_t> ResolutionToDpi(double value, int unit);

// Sets the six description values (empty ones too) and, where the block
// has them, DotsPerInchX/Y.
void ApplyExifInfo(const TExifInfo& info, TIOParams& params);

}  // namespace loopsmith
