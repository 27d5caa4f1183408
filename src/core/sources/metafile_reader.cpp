#include "sources/metafile_reader.h"

#include "sources/decoder_support.h"
#include "sources/image_reader.h"

namespace loopsmith {

namespace {

void refuseMetafile(TStream&, TRaster& image, TIOParams&, TProgressContext& ctx, bool) {
    RunGuarded(ctx, [] { return false; });
    image.Clear();
}

}  // namespace

const TImageReader& MetafileImageReader() {
    static const TImageReader reader{refuseMetafile};
    return reader;
}

}  // namespace loopsmith
