#include "sources/format_registry.h"

#include <algorithm>
#include <cctype>

#include "gif/gif_reader.h"
#include "sources/builtin_readers.h"
#include "imaging/io_params.h"

namespace loopsmith {

namespace {

struct BuiltInFormat {
    TFileKind kind;
    const char* description;
    const char* extensions;
    uint16_t dialogPages;
    bool readable;
    bool writable;
    const TImageReader* reader;
};

// Registry order decides extension lookups. HD Photo (kind 29, "WDP;HDP")
// is missing on purpose: its only decoder was the Windows Imaging Component.
constexpr BuiltInFormat kBuiltInFormats[] = {
    // kind      description                          extensions                                      pages  read   write  reader
    {fkTIFF,   "TIFF Bitmap",                       "TIF;TIFF;FAX;G3N;G3F;XIF",                          8, true,  true,  nullptr},
    {fkGIF,    "CompuServe Bitmap",                 "GIF",                                              16, true,  true,  nullptr},
    {fkJPEG,   "JPEG Bitmap",                       "JPG;JPEG;JPE;JIF",                                  4, true,  true,  nullptr},
    {fkPCX,    "PaintBrush",                        "PCX",                                              64, true,  true,  nullptr},
    {fkBMP,    "Windows Bitmap",                    "BMP;DIB;RLE",                                      32, true,  true,  nullptr},
    {fkBMPRAW, "Raw Bitmap",                        "",                                                  0, true,  true,  nullptr},
    {fkICO,    "Windows Icon",                      "ICO",                                               0, true,  true,  nullptr},
    {fkCUR,    "Windows Cursor",                    "CUR",                                               0, true,  false, nullptr},
    {fkPNG,    "Portable Network Graphics",         "PNG",                                             128, true,  true,  nullptr},
    {fkDICOM,  "DICOM Bitmap",                      "DCM;DIC;DICOM;V2",                                  0, true,  false, nullptr},
    {fkWMF,    "Windows Metafile",                  "WMF",                                               0, true,  false, nullptr},
    {fkEMF,    "Enhanced Windows Metafile",         "EMF",                                               0, true,  false, nullptr},
    {fkTGA,    "Targa Bitmap",                      "TGA;TARGA;VDA;ICB;VST;PIX",                       256, true,  true,  nullptr},
    {fkPXM,    "Portable Pixmap, GrayMap, BitMap",  "PXM;PPM;PGM;PBM",                                   0, true,  true,  nullptr},
    {fkWBMP,   "Wireless Bitmap",                   "WBMP",                                              0, true,  true,  nullptr},
    {fkJP2,    "JPEG2000",                          "JP2",                                             512, true,  true,  nullptr},
    {fkJ2K,    "JPEG2000 Code Stream",              "J2K;JPC;J2C",                                     512, true,  true,  nullptr},
    {fkPS,     "PostScript Level 2",                "PS;EPS",                                            0, false, true,  nullptr},
    {fkPDF,    "Adobe PDF",                         "PDF",                                               0, false, true,  nullptr},
    {fkDCX,    "Multipage PCX",                     "DCX",                                               0, true,  true,  nullptr},
    {fkRAW,    "Camera RAW",                        "CRW;CR2;NEF;RAW;PEF;RAF;X3F;BAY;ORF;SRF;MRW;DCR;SR2", 0, true,  false, nullptr},
    {fkPSD,    "Photoshop PSD",                     "PSD",                                               0, true,  true,  nullptr},
};

void applyGifCoders(TFileFormatInfo& info) {
    info.ReadProc = DefaultGifLzwDecoder != nullptr;
    info.WriteProc = DefaultGifLzwEncoder != nullptr;
}

std::list<TFileFormatInfo> buildRegistry() {
    std::list<TFileFormatInfo> formats;
    for (const BuiltInFormat& row : kBuiltInFormats) {
        TFileFormatInfo info;
        info.Kind = row.kind;
        info.Description = row.description;
        info.Extensions = row.extensions;
        info.Internal = true;
        info.DialogPages = row.dialogPages;
        info.ReadProc = row.readable;
        info.WriteProc = row.writable;
        info.Reader = row.reader ? row.reader : BuiltInReader(row.kind);
        if (info.Kind == fkGIF) applyGifCoders(info);
        formats.push_back(std::move(info));
    }
    return formats;
}

std::list<TFileFormatInfo>& registry() {
    static std::list<TFileFormatInfo> formats = buildRegistry();
    return formats;
}

std::string lowerCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Sets `item` to the n-th ";"-separated item; false past the end.
bool extensionItem(std::string_view list, int n, std::string_view& item) {
    if (n < 0) return false;
    size_t start = 0;
    for (int i = 0;; ++i) {
        size_t end = list.find(';', start);
        if (end == std::string_view::npos) end = list.size();
        if (i == n) {
            item = list.substr(start, end - start);
            return true;
        }
        if (end == list.size()) return false;
        start = end + 1;
    }
}

bool listContains(std::string_view list, std::string_view lowerExtension) {
    std::string_view item;
    for (int i = 0; extensionItem(list, i, item); ++i)
        if (!item.empty() && lowerCase(item) == lowerExtension) return true;
    return false;
}

}  // namespace

const std::list<TFileFormatInfo>& FileFormats() { return registry(); }

const TFileFormatInfo* FindFormatByExtension(std::string_view extension) {
    std::string wanted = lowerCase(extension);
    if (!wanted.empty() && wanted.front() == '.') wanted.erase(0, 1);
    // An empty item never matches, so a name without extension does not
    // land on the raw bitmap entry, whose list is empty.
    if (wanted.empty()) return nullptr;
    for (const TFileFormatInfo& info : registry())
        if (listContains(info.Extensions, wanted)) return &info;
    return nullptr;
}

const TFileFormatInfo* FindFormatByKind(TFileKind kind) {
    for (const TFileFormatInfo& info : registry())
        if (info.Kind == kind) return &info;
    return nullptr;
}

std::string FileNameExtension(const std::filesystem::path& fileName) {
    std::string name = fileName.filename().string();
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : lowerCase(std::string_view(name).substr(dot + 1));
}

bool HasReaderForExtension(const std::filesystem::path& fileName) {
    const TFileFormatInfo* info = FindFormatByExtension(FileNameExtension(fileName));
    return info && info->ReadProc;
}

std::string FormatExtension(TFileKind kind, int n) {
    const TFileFormatInfo* info = FindFormatByKind(kind);
    std::string_view item;
    if (!info || !extensionItem(info->Extensions, n, item)) return {};
    return std::string(item);
}

void RegisterFileFormat(TFileFormatInfo info) { registry().push_back(std::move(info)); }

void UnregisterFileFormat(TFileKind kind) {
    auto& formats = registry();
    auto it = std::find_if(formats.begin(), formats.end(), [kind](const TFileFormatInfo& f) { return f.Kind == kind; });
    if (it != formats.end()) formats.erase(it);
}

void RefreshGifFormatProcs() {
    for (TFileFormatInfo& info : registry())
        if (info.Kind == fkGIF && info.Internal) applyGifCoders(info);
}

}  // namespace loopsmith
