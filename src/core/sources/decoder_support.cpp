#include "sources/decoder_support.h"

#include <algorithm>

#include "util/stream.h"

namespace loopsmith {

std::span<const uint8_t> RemainingBytes(TStream& stream, std::vector<uint8_t>& holder) {
    const int64_t pos = stream.Position(), size = stream.Size();
    if (pos < 0 || pos >= size) return {};
    const std::span<const uint8_t> contents = stream.Contents();
    if (!contents.empty()) return contents.subspan(std::min(static_cast<size_t>(pos), contents.size()));
    holder.resize(static_cast<size_t>(size - pos));
    holder.resize(stream.Read(holder.data(), holder.size()));
    return holder;
}

}  // namespace loopsmith
