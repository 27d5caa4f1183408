#pragma once
// The ordered list of known formats. Extension lookups take the first
// matching entry, so the order of the built-in table is part of behaviour.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <string>
#include <string_view>

#include "sources/file_kind.h"

namespace loopsmith {

class TStream;
struct TImageReader;

// A content test for a registered format: the stream stands at the start of
// the data and the routine may leave it anywhere.
using TFormatTestProc = std::function<bool(TStream& stream, TFileKind kind)>;

struct TFileFormatInfo {
    TFileKind Kind = fkUnknown;
    std::string Description;
    std::string Extensions;  // upper case, no dots, ";"-separated
    // A non-internal entry's extension overrides whatever the content says.
    bool Internal = false;
    uint16_t DialogPages = 0;  // pages of the save-parameter dialog; carried only
    // Whether the format has a read / write routine. Reading itself is
    // dispatched by kind, through Reader.
    bool ReadProc = false;
    bool WriteProc = false;
    // Empty answers false, as for every built-in format.
    TFormatTestProc TestProc;
    const TImageReader* Reader = nullptr;
};

// Built on first use; entries keep their addresses until unregistered.
const std::list<TFileFormatInfo>& FileFormats();

// `extension` may carry one leading dot; case is ignored.
const TFileFormatInfo* FindFormatByExtension(std::string_view extension);
const TFileFormatInfo* FindFormatByKind(TFileKind kind);
// True when the name's extension finds an entry that has a read routine.
bool HasReaderForExtension(const std::filesystem::path& fileName);
// The n-th (from 0) item of the kind's extensions, upper case; empty past
// the end or for a kind without an entry.
std::string FormatExtension(TFileKind kind, int n);

void RegisterFileFormat(TFileFormatInfo info);
// Removes the entry FindFormatByKind finds for `kind`, if any.
void UnregisterFileFormat(TFileKind kind);

// The GIF entry is readable and writable only while the GIF LZW decoder and
// encoder are installed; call after changing DefaultGifLzwDecoder/Encoder.
void RefreshGifFormatProcs();

// The name's extension, lower case, from the last dot of the file name
// (empty when the name has no dot).
std::string FileNameExtension(const std::filesystem::path& fileName);

}  // namespace loopsmith
