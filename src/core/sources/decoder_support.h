#pragma once
// What the decoders that work on a whole buffer share.

#include <cstdint>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

#include "imaging/io_params.h"

namespace loopsmith {

class TStream;

// The bytes from the stream's position to its end: a memory stream's own
// bytes, else read into `holder`.
std::span<const uint8_t> RemainingBytes(TStream& stream, std::vector<uint8_t>& holder);

// Runs a decode step the way every reader reports: progress 0 and 100, a
// false result or a failed allocation raises the abort flag.
template <class Body>
void RunGuarded(TProgressContext& ctx, Body body) {
    ctx.Report(0);
    if (ctx.AbortFlag) return;
    try {
        if (!body()) ctx.AbortFlag = true;
    } catch (const std::bad_alloc&) {
        ctx.AbortFlag = true;
    } catch (const std::length_error&) {
        ctx.AbortFlag = true;
    }
    if (!ctx.AbortFlag) ctx.Report(100);
}

}  // namespace loopsmith
