#include "pack/png_import.h"

#include <png.h>

#include <array>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// libpng reports errors by longjmp; the message is kept for the caller.
struct ErrorSink {
  std::string message;
};

[[noreturn]] void onPngError(png_structp png, png_const_charp message) {
  static_cast<ErrorSink*>(png_get_error_ptr(png))->message = message;
  png_longjmp(png, 1);
}

void ignoreWarning(png_structp /*png*/, png_const_charp /*message*/) {}

class PngReader {
 public:
  explicit PngReader(ErrorSink& sink)
      : png_(png_create_read_struct(PNG_LIBPNG_VER_STRING, &sink, onPngError, ignoreWarning)),
        info_(png_ != nullptr ? png_create_info_struct(png_) : nullptr) {}
  ~PngReader() { png_destroy_read_struct(&png_, &info_, nullptr); }
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;

  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_;
  png_infop info_;
};

using Rows = std::array<std::array<png_byte, std::size_t{4} * picSide>, picSide>;

// Asks libpng for 8-bit RGBA whatever the file holds, and nothing else: no
// gamma, no background, no colour management.
void requestRgba(png_structp png, png_infop info) {
  png_set_expand(png);    // palette to RGB, grey below 8 bits to 8, tRNS to alpha
  png_set_strip_16(png);  // the high byte of each 16-bit sample
  png_set_gray_to_rgb(png);
  if ((png_get_color_type(png, info) & PNG_COLOR_MASK_ALPHA) == 0 &&
      !png_get_valid(png, info, PNG_INFO_tRNS)) {
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  }
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
}

// Reads the whole image into `rows`. False, with `error` set, when the file
// is not a 32 x 32 PNG that libpng reads to its end.
bool readRows(std::FILE* file, Rows& rows, std::string& error) {
  ErrorSink sink;
  PngReader reader(sink);
  if (reader.info() == nullptr) {
    error = "out of memory";
    return false;
  }
  png_structp png = reader.png();
  png_infop info = reader.info();
  std::array<png_bytep, picSide> pointers{};
  for (std::size_t y = 0; y < rows.size(); ++y) pointers[y] = rows[y].data();
  // NOLINTNEXTLINE(cert-err52-cpp): libpng reports errors only by longjmp
  if (setjmp(png_jmpbuf(png))) {
    error = "is not a readable PNG (" + sink.message + ")";
    return false;
  }
  std::array<png_byte, 8> signature{};
  if (std::fread(signature.data(), 1, signature.size(), file) != signature.size() ||
      png_sig_cmp(signature.data(), 0, signature.size()) != 0) {
    error = "is not a PNG file";
    return false;
  }
  png_init_io(png, file);
  png_set_sig_bytes(png, static_cast<int>(signature.size()));
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  if (width != picSide || height != picSide) {
    error = "is " + std::to_string(width) + " x " + std::to_string(height) + ", not 32 x 32";
    return false;
  }
  requestRgba(png, info);
  if (png_get_rowbytes(png, info) != rows[0].size()) {
    error = "cannot be read as 8-bit RGBA";
    return false;
  }
  png_read_image(png, pointers.data());
  png_read_end(png, nullptr);
  return true;
}

}  // namespace

bool importPng(const std::string& path, int alphaCutoff, PicPixels& pixels, std::string& error) {
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    error = std::string("cannot be opened: ") + std::strerror(errno);
    return false;
  }
  Rows rows{};
  if (!readRows(file.get(), rows, error)) return false;
  for (std::size_t y = 0; y < rows.size(); ++y) {
    for (std::size_t x = 0; x < std::size_t{picSide}; ++x) {
      const png_byte* rgba = &rows[y][4 * x];
      const int alpha = rgba[3];
      if (alphaCutoff == exactAlpha && alpha != 0 && alpha != 0xFF) {
        error = "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") has alpha " +
                std::to_string(alpha) + "; only 0 and 255 are allowed without --alpha-cutoff";
        return false;
      }
      const bool opaque = alphaCutoff == exactAlpha ? alpha == 0xFF : alpha >= alphaCutoff;
      pixels[y * picSide + x] = opaque ? rgba[0] << 16 | rgba[1] << 8 | rgba[2] : transparentPixel;
    }
  }
  return true;
}
