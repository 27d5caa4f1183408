#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging/io_params.h"
#include "sources/format_registry.h"

namespace loopsmith {
namespace {

TEST(FileFormats, BuiltInEntriesInLookupOrder) {
    // HD Photo is absent: there is no decoder for it on this platform.
    const std::vector<TFileKind> expected = {fkTIFF, fkGIF, fkJPEG, fkPCX, fkBMP, fkBMPRAW, fkICO, fkCUR,
                                             fkPNG,  fkDICOM, fkWMF, fkEMF, fkTGA, fkPXM, fkWBMP, fkJP2,
                                             fkJ2K,  fkPS,  fkPDF, fkDCX, fkRAW, fkPSD};
    std::vector<TFileKind> kinds;
    std::string writable;
    for (const TFileFormatInfo& info : FileFormats()) {
        kinds.push_back(info.Kind);
        EXPECT_TRUE(info.Internal) << info.Description;
        EXPECT_FALSE(info.TestProc) << info.Description;
        EXPECT_EQ(info.ReadProc, info.Kind != fkPS && info.Kind != fkPDF && (info.Kind != fkGIF || DefaultGifLzwDecoder))
            << info.Description;
        writable += info.WriteProc ? 'w' : '-';
    }
    EXPECT_EQ(kinds, expected);
    EXPECT_EQ(writable, std::string("w") + (DefaultGifLzwEncoder ? "w" : "-") + "wwwww-w---wwwwwwww-w");
}

TEST(FindFormatByExtension, IgnoresCaseAndOneLeadingDot) {
    struct Case {
        const char* extension;
        TFileKind expected;  // fkUnknown: no entry
    } cases[] = {
        {"jpg", fkJPEG},  {".JPG", fkJPEG},  {"Jpe", fkJPEG},    {"jif", fkJPEG},  {"tiff", fkTIFF},
        {"XIF", fkTIFF},  {"v2", fkDICOM},   {".dicom", fkDICOM}, {"sr2", fkRAW},  {"pix", fkTGA},
        {"..jpg", fkUnknown}, {"jp", fkUnknown}, {"jpgx", fkUnknown}, {"tif;tiff", fkUnknown},
        {"hdp", fkUnknown}, {"", fkUnknown}, {".", fkUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extension);
        const TFileFormatInfo* info = FindFormatByExtension(c.extension);
        EXPECT_EQ(info ? info->Kind : fkUnknown, c.expected);
    }
}

TEST(FindFormatByKind, FindsBuiltInsButNotHdPhoto) {
    ASSERT_NE(FindFormatByKind(fkBMPRAW), nullptr);
    EXPECT_EQ(FindFormatByKind(fkBMPRAW)->Description, "Raw Bitmap");
    EXPECT_EQ(FindFormatByKind(fkHDP), nullptr);
    EXPECT_EQ(FindFormatByKind(22), nullptr);
}

std::vector<std::string> allExtensions(TFileKind kind) {
    std::vector<std::string> out;
    for (int n = 0; !FormatExtension(kind, n).empty(); ++n) out.push_back(FormatExtension(kind, n));
    return out;
}

TEST(FormatExtension, EnumeratesUntilEmpty) {
    EXPECT_EQ(allExtensions(fkTIFF), (std::vector<std::string>{"TIF", "TIFF", "FAX", "G3N", "G3F", "XIF"}));
    EXPECT_EQ(allExtensions(fkRAW).size(), 13u);
    EXPECT_EQ(allExtensions(fkRAW).back(), "SR2");
    EXPECT_TRUE(allExtensions(fkBMPRAW).empty());
    EXPECT_TRUE(allExtensions(fkHDP).empty());
    EXPECT_EQ(FormatExtension(fkGIF, -1), "");
}

TEST(HasReaderForExtension, NeedsAnEntryWithAReadRoutine) {
    struct Case {
        const char* fileName;
        bool expected;
    } cases[] = {
        {"a.ps", false},           {"b.EPS", false},         {"c.pdf", false},       {"d.jpg", true},
        {"/x/y/photo.Jpeg", true}, {"e.CUR", true},          {"f.wbmp", true},       {"g.nef", true},
        {"noext", false},          {"dir.png/noext", false}, {"h.xyz", false},       {"i.tar.gz", false},
        {"trailing.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileName);
        EXPECT_EQ(HasReaderForExtension(c.fileName), c.expected);
    }
}

bool dummyDecode(TStream&, int32_t, int32_t, bool, uint8_t*) { return false; }

TEST(HasReaderForExtension, GifFollowsTheInstalledCoders) {
    const TGifLzwDecodeFunc savedDecoder = DefaultGifLzwDecoder;
    const TGifLzwEncodeFunc savedEncoder = DefaultGifLzwEncoder;

    DefaultGifLzwDecoder = dummyDecode;
    DefaultGifLzwEncoder = nullptr;
    RefreshGifFormatProcs();
    EXPECT_TRUE(HasReaderForExtension("a.gif"));
    EXPECT_FALSE(FindFormatByKind(fkGIF)->WriteProc);

    DefaultGifLzwDecoder = nullptr;
    DefaultGifLzwEncoder = savedEncoder;
    RefreshGifFormatProcs();
    EXPECT_FALSE(HasReaderForExtension("a.gif"));
    EXPECT_EQ(FindFormatByKind(fkGIF)->WriteProc, savedEncoder != nullptr);

    DefaultGifLzwDecoder = savedDecoder;
    RefreshGifFormatProcs();
    EXPECT_EQ(HasReaderForExtension("a.gif"), savedDecoder != nullptr);
}

TFileFormatInfo entry(TFileKind kind, const char* description, const char* extensions) {
    TFileFormatInfo info;
    info.Kind = kind;
    info.Description = description;
    info.Extensions = extensions;
    info.ReadProc = true;
    return info;
}

TEST(RegisterFileFormat, AppendsAfterTheBuiltIns) {
    const size_t before = FileFormats().size();
    RegisterFileFormat(entry(100, "Second PNG", "PNG;LSX"));
    EXPECT_EQ(FileFormats().back().Description, "Second PNG");
    // The built-in entry comes first for a shared extension.
    EXPECT_EQ(FindFormatByExtension("png")->Kind, fkPNG);
    EXPECT_EQ(FindFormatByExtension(".lsx")->Kind, 100);
    EXPECT_EQ(FormatExtension(100, 1), "LSX");
    EXPECT_TRUE(HasReaderForExtension("clip.lsx"));
    UnregisterFileFormat(100);
    EXPECT_EQ(FileFormats().size(), before);
    EXPECT_EQ(FindFormatByExtension("lsx"), nullptr);
}

TEST(UnregisterFileFormat, RemovesOnlyTheFirstEntryOfTheKind) {
    const size_t before = FileFormats().size();
    RegisterFileFormat(entry(101, "first", "LSA"));
    RegisterFileFormat(entry(101, "second", "LSB"));
    const TFileFormatInfo* second = &FileFormats().back();
    UnregisterFileFormat(101);
    ASSERT_NE(FindFormatByKind(101), nullptr);
    EXPECT_EQ(FindFormatByKind(101), second);  // survivors keep their address
    UnregisterFileFormat(101);
    EXPECT_EQ(FindFormatByKind(101), nullptr);
    UnregisterFileFormat(101);
    EXPECT_EQ(FileFormats().size(), before);
}

TEST(FileKindName, NamesEveryCode) {
    struct Case {
        TFileKind kind;
        const char* name;
    } cases[] = {{fkUnknown, "fkUnknown"}, {fkGIF, "fkGIF"}, {fkBMPRAW, "fkBMPRAW"}, {fkPSD, "fkPSD"},
                 {fkDICOM, "fkDICOM"},     {fkHDP, "fkHDP"}, {22, "fkUnknown"},      {-1, "fkUnknown"}};
    for (const Case& c : cases) EXPECT_STREQ(FileKindName(c.kind), c.name);
}

}  // namespace
}  // namespace loopsmith
