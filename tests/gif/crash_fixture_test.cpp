#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "gif/gif_reader.h"
#include "sources/image_io.h"
#include "support/test_support.h"
#include "util/stream.h"

namespace loopsmith {
namespace {

// Every input that once crashed the GIF reader goes through the same
// calls as the fuzz target; under the sanitizers any fault shows.
TEST(GifCrashFixtures, ReadWithoutFault) {
    const std::filesystem::path folder = std::filesystem::path(LOOPSMITH_TEST_DATA) / "crash";
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind("gif-", 0) != 0) continue;
        SCOPED_TRACE(entry.path().filename().string());
        ++seen;
        const std::vector<uint8_t> bytes = test::ReadFile(entry.path());
        int32_t count = 0;
        {
            TMemoryStream stream(bytes);
            TRaster image;
            TIOParams params;
            bool abort = false;
            TProgressContext ctx(abort);
            std::optional<TRaster> mask;
            ReadGifStream(stream, image, count, params, ctx, true, mask, false);
        }
        for (int32_t n = 0; n < std::min(count, 4); ++n) {
            TMemoryStream stream(bytes);
            TImageIO io;
            io.Params().SetImageIndex(n);
            io.LoadGifStream(stream);
        }
    }
    EXPECT_GT(seen, 0);
}

}  // namespace
}  // namespace loopsmith
