#include "gif/lzw_decoder.h"
#include "gif/lzw_encoder.h"
#include "imaging/io_params.h"

namespace loopsmith {

// Constant-initialised, so every parameter set made at any time sees them.
TGifLzwEncodeFunc DefaultGifLzwEncoder = EncodeGifLzw;
TGifLzwDecodeFunc DefaultGifLzwDecoder = DecodeGifLzw;

}  // namespace loopsmith
