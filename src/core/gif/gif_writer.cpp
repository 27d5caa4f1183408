#include "gif/gif_writer.h"

namespace loopsmith {
void WriteGifStream(TStream&, const TRaster&, TIOParams&, TProgressContext&) {}
}  // namespace loopsmith
