#include "testsupport/png_writer.h"

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace testsupport {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

void writePngFile(const std::filesystem::path& path, const PngLayout& layout) {
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) throw std::runtime_error("cannot create " + path.string());
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    throw std::runtime_error("libpng");
  }
  const std::size_t rowBytes = layout.rows.size() / layout.height;
  std::vector<png_bytep> rows;
  for (std::uint32_t y = 0; y < layout.height; ++y) {
    rows.push_back(const_cast<png_bytep>(layout.rows.data() + y * rowBytes));
  }
  if (setjmp(png_jmpbuf(png))) {  // NOLINT(cert-err52-cpp): libpng reports errors only by longjmp
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("cannot write " + path.string());
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, layout.width, layout.height, layout.bitDepth, layout.colourType,
               layout.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (!layout.palette.empty()) {
    png_set_PLTE(png, info, layout.palette.data(), static_cast<int>(layout.palette.size()));
  }
  if (!layout.paletteAlpha.empty()) {
    png_set_tRNS(png, info, layout.paletteAlpha.data(), static_cast<int>(layout.paletteAlpha.size()),
                 nullptr);
  }
  if (layout.transparentColour) png_set_tRNS(png, info, nullptr, 0, &*layout.transparentColour);
  png_set_rows(png, info, rows.data());
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
}

void writeSpritePng(const std::filesystem::path& path, const Sprite& sprite) {
  PngLayout layout;
  for (const auto& pixel : sprite) {
    if (pixel) {
      layout.rows.insert(layout.rows.end(), {pixel->red, pixel->green, pixel->blue, 255});
    } else {
      layout.rows.insert(layout.rows.end(), {0, 0, 0, 0});
    }
  }
  writePngFile(path, layout);
}

}  // namespace testsupport
