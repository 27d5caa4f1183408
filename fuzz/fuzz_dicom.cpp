// Any bytes through the DICOM reader: header only, then the first and the
// last frame the header announces.
#include <vector>

#include "sources/dicom_decoder.h"
#include "util/stream.h"

using namespace loopsmith;

namespace {

bool readFrame(const std::vector<uint8_t>& bytes, int32_t index, bool paramsOnly, TIOParams& params) {
    TMemoryStream stream(bytes);
    TRaster image;
    params.SetImageIndex(index);
    bool abort = false;
    TProgressContext ctx(abort);
    ReadDicomStream(stream, image, params, ctx, paramsOnly);
    return !abort;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    TIOParams params;
    if (!readFrame(bytes, 0, true, params)) return 0;
    const int32_t last = params.DICOMImageCount - 1;
    readFrame(bytes, 0, false, params);
    if (last > 0) readFrame(bytes, last, false, params);
    return 0;
}
