#include "gif/gif_writer.h"

#include <algorithm>

#include "gif/gif_blocks.h"
#include "util/stream.h"

namespace loopsmith {

namespace {

void appendHeaderAndScreen(TByteBuffer& out, const TIOParams& params, const TRaster& image, int32_t bits,
                           uint8_t backgroundIndex) {
    // Six bytes of signature, padded with zeros when it is shorter.
    for (size_t i = 0; i < 6; ++i) out.push_back(i < params.GifSignature.size() ? params.GifSignature[i] : 0);
    AppendUInt16(out, ClampToUInt16(image.Width()));
    AppendUInt16(out, ClampToUInt16(image.Height()));
    out.push_back(static_cast<uint8_t>(0x80 | ((bits - 1) << 4) | (bits - 1)));
    out.push_back(backgroundIndex);
    out.push_back(0);
}

}  // namespace

void WriteGifStream(TStream& stream, const TRaster& image, TIOParams& params, TProgressContext& ctx) {
    ctx.Report(0);
    if (ctx.AbortFlag) return;
    // Sizes a GIF cannot describe are refused rather than written wrapped.
    if (image.IsEmpty() || image.Width() > 65535 || image.Height() > 65535) {
        ctx.AbortFlag = true;
        return;
    }
    TGifFrame frame(image, params, /*forInsertion=*/false);
    if (frame.HasAlpha()) params.GifTransparent = true;

    ctx.Report(30);
    if (ctx.AbortFlag) return;

    TByteBuffer head;
    appendHeaderAndScreen(head, params, image, frame.Bits(), frame.IndexOfColour(params.GifBackgroundColor));
    WriteChecked(stream, head, ctx);

    TByteBuffer blocks;
    frame.AppendColourTable(blocks);
    AppendGraphicControl(blocks, params, frame.TransparentIndex(params));
    AppendImageDescriptor(blocks, params, image.Width(), image.Height(), 0);
    WriteChecked(stream, blocks, ctx);

    ctx.Report(70);
    if (ctx.AbortFlag) return;
    if (!EncodeGifImageData(stream, frame, params)) {
        ctx.AbortFlag = true;
        return;
    }

    TByteBuffer tail;
    AppendCommentExtension(tail, params.GifComments);
    tail.push_back(0x3B);
    WriteChecked(stream, tail, ctx);
    ctx.Report(100);
}

}  // namespace loopsmith
