#include "png_writer.h"

#include <png.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace loopsmith::cli {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

std::vector<uint8_t> rgbaRow(const TRaster& image, int32_t y) {
    std::vector<uint8_t> row(static_cast<size_t>(image.Width()) * 4);
    for (int32_t x = 0; x < image.Width(); ++x) {
        TRGB c = image.PixelRGB(x, y);
        uint8_t* p = row.data() + 4 * static_cast<size_t>(x);
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
        p[3] = image.Alpha(x, y);
    }
    return row;
}

// The setjmp stays in this one function, whose locals are all trivial.
bool writeRows(std::FILE* file, const TRaster& image, std::vector<std::vector<uint8_t>>& rows) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.Width()), static_cast<png_uint_32>(image.Height()), 8,
                 PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (auto& row : rows) png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool WriteRgbaPng(const std::filesystem::path& fileName, const TRaster& image) {
    if (image.IsEmpty()) return false;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(fileName.c_str(), "wb"));
    if (!file) return false;
    std::vector<std::vector<uint8_t>> rows;
    rows.reserve(static_cast<size_t>(image.Height()));
    for (int32_t y = 0; y < image.Height(); ++y) rows.push_back(rgbaRow(image, y));
    return writeRows(file.get(), image, rows) && std::fflush(file.get()) == 0;
}

}  // namespace loopsmith::cli
