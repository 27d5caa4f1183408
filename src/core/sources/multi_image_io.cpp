#include "sources/multi_image_io.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "sources/detect.h"
#include "sources/format_registry.h"
#include "sources/image_reader.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

// Extensions that choose a multi-frame path by name alone, with their dot
// left off as FileNameExtension gives them.
struct ExtensionPath {
    const char* extension;
    TFileKind kind;
};

constexpr ExtensionPath kExtensionPaths[] = {
    {"gif", fkGIF}, {"tif", fkTIFF},  {"tiff", fkTIFF}, {"fax", fkTIFF},   {"g3f", fkTIFF},
    {"g3n", fkTIFF}, {"xif", fkTIFF}, {"avi", fkAVI},   {"ico", fkICO},    {"dcx", fkDCX},
    {"dicom", fkDICOM}, {"dcm", fkDICOM}, {"dic", fkDICOM}, {"v2", fkDICOM},
};

// Like the toolkit's Trim: spaces and control characters at both ends go.
std::filesystem::path trimmed(const std::filesystem::path& name) {
    const auto& text = name.native();
    const auto isBlank = [](auto c) { return static_cast<unsigned long>(c) <= ' '; };
    const auto first = std::find_if_not(text.begin(), text.end(), isBlank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), isBlank).base();
    return first < last ? std::filesystem::path(text.substr(first - text.begin(), last - first))
                        : std::filesystem::path();
}

const TImageReader* readerOf(const TFileFormatInfo* info) {
    return info && info->Reader && info->Reader->Read ? info->Reader : nullptr;
}

// The content decides; a kind without a reader (or no kind at all) falls
// back to the extension's entry.
const TImageReader* registryReaderFor(const std::filesystem::path& fileName) {
    const TFileKind kind = DetectFileKind(fileName, false);
    if (const TImageReader* reader = kind != fkUnknown ? readerOf(FindFormatByKind(kind)) : nullptr) return reader;
    return readerOf(FindFormatByExtension(FileNameExtension(fileName)));
}

}  // namespace

bool LoadPictureWithRegistry(const std::filesystem::path& fileName, TRaster& picture, int32_t& fullWidth,
                             int32_t& fullHeight) {
    const TImageReader* reader = registryReaderFor(fileName);
    if (!reader) return false;
    TFileStream file(fileName, TFileMode::Read);
    TIOParams params;
    params.SetImageIndex(0);
    bool aborted = false;
    TProgressContext ctx(aborted);
    reader->Read(file, picture, params, ctx, false);
    if (aborted || picture.IsEmpty()) return false;
    fullWidth = picture.Width();
    fullHeight = picture.Height();
    return true;
}

TMultiImageIO::~TMultiImageIO() {
    if (m_view) m_view->RemoveObserver(this);
}

// --- The strip and its records ---

void TMultiImageIO::AttachMView(TThumbStrip* view) {
    if (m_view == view) return;
    if (m_view) m_view->RemoveObserver(this);
    m_view = view;
    if (!m_view) return;
    m_view->AddObserver(this);
    // Records left from another strip would describe the wrong entries.
    resizeEntryParams(m_view->ImageCount());
    installFileLoader();
}

void TMultiImageIO::installFileLoader() {
    if (m_view && !m_view->FileLoader) m_view->FileLoader = LoadPictureWithRegistry;
}

void TMultiImageIO::resizeEntryParams(int32_t count) {
    const auto wanted = static_cast<size_t>(std::max(count, 0));
    m_entryParams.resize(std::min(wanted, m_entryParams.size()));
    while (m_entryParams.size() < wanted) m_entryParams.push_back(std::make_unique<TIOParams>());
}

TIOParams& TMultiImageIO::EntryParams(int32_t index) {
    return const_cast<TIOParams&>(std::as_const(*this).EntryParams(index));
}

const TIOParams& TMultiImageIO::EntryParams(int32_t index) const {
    if (index < 0 || index >= EntryParamsCount()) throw std::out_of_range("entry parameter index out of range");
    return *m_entryParams[static_cast<size_t>(index)];
}

TIOParams TMultiImageIO::newRecordAt(int32_t index) const {
    if (m_entryParams.empty()) return TIOParams();
    const auto at = static_cast<size_t>(std::clamp(index, 0, EntryParamsCount() - 1));
    TIOParams record = *m_entryParams[at];
    // The neighbour's comments and tags are its own file's, not this one's.
    record.ClearInfo();
    return record;
}

void TMultiImageIO::ImageInserted(int32_t index) {
    const auto at = static_cast<size_t>(std::clamp(index, 0, EntryParamsCount()));
    m_entryParams.insert(m_entryParams.begin() + static_cast<ptrdiff_t>(at),
                         std::make_unique<TIOParams>(newRecordAt(index)));
}

void TMultiImageIO::ImageDeleted(int32_t index) {
    if (index >= 0 && index < EntryParamsCount()) m_entryParams.erase(m_entryParams.begin() + index);
}

bool TMultiImageIO::isPermutation(std::span<const int32_t> sourceOf) const {
    if (sourceOf.size() != m_entryParams.size()) return false;
    std::vector<bool> seen(sourceOf.size());
    for (int32_t from : sourceOf) {
        if (from < 0 || static_cast<size_t>(from) >= seen.size() || seen[static_cast<size_t>(from)]) return false;
        seen[static_cast<size_t>(from)] = true;
    }
    return true;
}

void TMultiImageIO::ImagesReordered(std::span<const int32_t> sourceOf) {
    // A map that does not fit the records cannot be followed; keep at least
    // the count right rather than throw into the strip.
    if (!isPermutation(sourceOf)) return resizeEntryParams(m_view ? m_view->ImageCount() : 0);
    std::vector<std::unique_ptr<TIOParams>> reordered;
    reordered.reserve(sourceOf.size());
    for (int32_t from : sourceOf) reordered.push_back(std::move(m_entryParams[static_cast<size_t>(from)]));
    m_entryParams = std::move(reordered);
}

void TMultiImageIO::ImagesExchanged(int32_t a, int32_t b) {
    const int32_t n = EntryParamsCount();
    if (a >= 0 && b >= 0 && a < n && b < n)
        std::swap(m_entryParams[static_cast<size_t>(a)], m_entryParams[static_cast<size_t>(b)]);
}

void TMultiImageIO::ImagesCleared() { m_entryParams.clear(); }

// --- Running a path ---

int32_t TMultiImageIO::insertionPoint() const {
    const int32_t selected = m_view->SelectedIndex();
    return selected >= 0 && selected <= m_view->ImageCount() ? selected : m_view->ImageCount();
}

void TMultiImageIO::reportProgress(int percent) {
    if (OnProgress) OnProgress(this, percent);
}

void TMultiImageIO::reportFrameProgress(int32_t n, int32_t count) {
    if (count > 0) reportProgress(static_cast<int>(n * (100.0 / count)));
}

void TMultiImageIO::insertFrameEntry(TThumbStrip& view, int32_t p, TIOParams&& params, const TRaster& picture) {
    view.InsertImage(p);
    EntryParams(p) = std::move(params);
    try {
        view.SetPicture(p, picture);
    } catch (...) {
        removeFrameEntry(view, p);
        throw;
    }
}

void TMultiImageIO::removeFrameEntry(TThumbStrip& view, int32_t p) {
    // Inserting left the selected positions as numbers; taking the entry
    // back must too, or the next file would miss the insertion point.
    const std::vector<int32_t> selection = view.MultiSelectedIndices();
    const int32_t current = view.SelectedIndex();
    view.DeleteImage(p);
    view.DeselectAll();
    for (int32_t i : selection)
        if (i != current && i < view.ImageCount()) view.AddToSelection(i);
    if (current >= 0 && current < view.ImageCount()) view.AddToSelection(current);
}

void TMultiImageIO::finishWork(TThumbStrip& view) {
    view.UnlockUpdate();
    reportProgress(100);
    if (OnFinishWork) OnFinishWork();
}

void TMultiImageIO::runPath(const TPathBody& body) {
    Aborted = false;
    if (!m_view) return;
    TThumbStrip& view = *m_view;
    view.LockUpdate();
    bool finished = true;
    try {
        finished = body(view);
    } catch (...) {
        Aborted = true;
        finishWork(view);
        throw;
    }
    if (finished) finishWork(view);
    else view.UnlockUpdate();
}

void TMultiImageIO::runStreamPath(TStream& stream, const TStreamBody& body) {
    runPath([&](TThumbStrip& view) {
        body(view, stream, std::string());
        return true;
    });
}

void TMultiImageIO::runFilePath(const std::filesystem::path& fileName, const TStreamBody& body) {
    runPath([&](TThumbStrip& view) {
        TFileStream file(fileName, TFileMode::Read);
        const std::u8string name = fileName.u8string();
        body(view, file, std::string(name.begin(), name.end()));
        return true;
    });
}

// --- Choosing the path ---

void TMultiImageIO::LoadFramesFromFile(const std::filesystem::path& fileName) {
    const TFileKind kind = DetectFileKind(fileName, false);
    if (kind != fkUnknown) LoadFramesOfKind(fileName, kind);
    else LoadFramesByExtension(fileName);
}

void TMultiImageIO::LoadFramesOfKind(const std::filesystem::path& fileName, TFileKind kind) {
    // JPEG, PNG and the other single-image kinds find their way by extension.
    if (!loadByKind(fileName, kind)) LoadFramesByExtension(fileName);
}

bool TMultiImageIO::loadByKind(const std::filesystem::path& fileName, TFileKind kind) {
    switch (kind) {
        case fkGIF: LoadGIFFrames(fileName); return true;
        case fkTIFF: LoadTIFFPages(fileName); return true;
        case fkICO: LoadIconImages(fileName); return true;
        case fkAVI: LoadAVIFrames(fileName); return true;
        case fkDCX: LoadDCXPages(fileName); return true;
        case fkDICOM: LoadDICOMImages(fileName); return true;
        default: return false;
    }
}

void TMultiImageIO::LoadFramesByExtension(const std::filesystem::path& fileName) {
    const std::filesystem::path name = trimmed(fileName);
    if (name.empty()) {
        Aborted = true;
        return;
    }
    Aborted = false;
    const std::string extension = FileNameExtension(name);
    for (const ExtensionPath& row : kExtensionPaths)
        if (extension == row.extension) {
            loadByKind(name, row.kind);
            return;
        }
    if (m_view && HasReaderForExtension(name)) loadSingleImage(*m_view, name);
    else LoadMediaFrames(name);
}

// The strip reads the picture itself and shows its placeholder when it
// cannot; no progress or finish event belongs to this path.
void TMultiImageIO::loadSingleImage(TThumbStrip& view, const std::filesystem::path& fileName) {
    installFileLoader();
    const int32_t p = view.InsertImage(insertionPoint());
    TIOParams& params = EntryParams(p);
    const std::u8string name = fileName.u8string();
    params.FileName.assign(name.begin(), name.end());
    params.SetImageIndex(0);
    const TFileFormatInfo* info = FindFormatByExtension(FileNameExtension(fileName));
    params.FileKind = info ? info->Kind : fkUnknown;
    view.LoadPictureFromFile(p, fileName);
}

}  // namespace loopsmith
