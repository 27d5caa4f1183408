#include "gif/gif_insert.h"

namespace loopsmith {
int32_t InsertGifFrameIntoStream(TStream&, const TRaster&, TIOParams&, TProgressContext&) { return 0; }
void WriteLoopExtension(const std::filesystem::path&, int32_t, int32_t, int32_t) {}
int32_t CountGifImages(const std::filesystem::path&) { return 0; }
}  // namespace loopsmith
