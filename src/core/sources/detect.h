#pragma once
// Recognising a file's kind from its content, with the file name's
// extension deciding where the content is ambiguous.

#include <filesystem>

#include "sources/file_kind.h"

namespace loopsmith {

class TStream;

// The loaders pass checkExtension = false; the parameters-only read passes
// true, so content and extension must agree. Never throws: a missing,
// unreadable or unrecognised file gives fkUnknown. Only regular files are
// opened.
TFileKind DetectFileKind(const std::filesystem::path& fileName, bool checkExtension) noexcept;

// Tests the data from the stream's current position, where the stream is
// left again on return. Never throws.
TFileKind DetectStreamKind(TStream& stream) noexcept;

// Whether the camera raw decoder recognises the data at the stream's
// position (the stream may be left anywhere).
bool IdentifyCameraRaw(TStream& stream);

}  // namespace loopsmith
