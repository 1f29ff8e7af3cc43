#include "testsupport/png_reader.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <sstream>

namespace testsupport {

std::array<std::uint8_t, 4> PngImage::rgba(int x, int y) const {
  const auto at = (static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)) * 4;
  return {pixels.at(at), pixels.at(at + 1), pixels.at(at + 2), pixels.at(at + 3)};
}

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

void silentWarning(png_structp, png_const_charp) {}

}  // namespace

std::optional<PngImage> readPng(const std::filesystem::path& path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return std::nullopt;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, silentWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return std::nullopt;
  }
  // Declared before setjmp so that a longjmp does not skip its destructor.
  PngImage image;
  if (setjmp(png_jmpbuf(png))) {  // NOLINT(cert-err52-cpp): libpng reports errors only by longjmp
    png_destroy_read_struct(&png, &info, nullptr);
    return std::nullopt;
  }
  png_init_io(png, file.get());
  png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  image.width = png_get_image_width(png, info);
  image.height = png_get_image_height(png, info);
  image.bitDepth = png_get_bit_depth(png, info);
  image.colourType = png_get_color_type(png, info);
  image.interlace = png_get_interlace_type(png, info);
  const std::size_t rowBytes = png_get_rowbytes(png, info);
  png_bytepp rows = png_get_rows(png, info);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    image.pixels.insert(image.pixels.end(), rows[y], rows[y] + rowBytes);
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return image;
}

std::string compareWithSprite(const PngImage& png, const Sprite& sprite) {
  std::ostringstream why;
  if (png.width != 32 || png.height != 32 || png.bitDepth != 8 || png.colourType != PNG_COLOR_TYPE_RGBA ||
      png.interlace != PNG_INTERLACE_NONE) {
    why << "not a 32x32 8-bit RGBA non-interlaced image: " << png.width << "x" << png.height << " depth "
        << png.bitDepth << " type " << png.colourType << " interlace " << png.interlace;
    return why.str();
  }
  for (int p = 0; p < 1024; ++p) {
    const auto got = png.rgba(p % 32, p / 32);
    const auto& want = sprite[static_cast<std::size_t>(p)];
    // gd keeps 7 bits of alpha; its fully transparent 127 reaches the file as
    // 0 or 1 depending on the writer's rounding, and both are transparent.
    const bool match = want ? got == std::array<std::uint8_t, 4>{want->red, want->green, want->blue, 255}
                            : got[0] == 128 && got[1] == 128 && got[2] == 128 && got[3] <= 1;
    if (!match) {
      why << "pixel " << p << " (" << p % 32 << "," << p / 32 << ") is " << int{got[0]} << "," << int{got[1]}
          << "," << int{got[2]} << "," << int{got[3]} << ", wanted ";
      if (want) {
        why << int{want->red} << "," << int{want->green} << "," << int{want->blue} << ",255";
      } else {
        why << "transparent grey";
      }
      return why.str();
    }
  }
  return {};
}

}  // namespace testsupport
