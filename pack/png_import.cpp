#include "pack/png_import.h"

#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <memory>

#include "archive/archive_stream.h"

namespace {

// What libpng may hold of any one chunk, and how many ancillary chunks it
// may keep: PLTE and tRNS, all a pic needs, are under 1 KiB, but editors
// write colour profiles and metadata of tens of kilobytes. Past these,
// libpng refuses the file at the chunk's header, before reading its data.
constexpr png_alloc_size_t mostChunkBytes = png_alloc_size_t{1} << 20;
constexpr png_uint_32 mostKeptChunks = 64;
// A 32 x 32 image is at most 8,224 bytes uncompressed (16-bit RGBA, a
// filter byte a row), a little more interlaced, and no compressor needs much
// more than that: data beyond 64 KiB is not for these pixels (empty blocks,
// say), and only costs time. (Only a 32 x 32 image gets to its data.)
constexpr std::uint64_t mostImageData = 64 << 10;
// However it is split: each chunk costs time, an empty one as well, and a
// million would cost a second. Twice the bytes the largest image needs is
// room enough for an encoder that writes every byte in a chunk of its own.
constexpr std::uint64_t mostImageChunks = 16 << 10;
// libpng reads the compressed image this much at a time (8 KiB by default).
constexpr std::size_t imageDataPiece = 1 << 10;
// Once the last row is being read, only that row and the end of the
// compressed stream are left: a few hundred bytes, which libpng reads in at
// most two pieces. Anything beyond is data past the end of the image, which
// libpng inflates, a kilobyte of output at a time, to its end before saying
// so: a compressed kilobyte can hold a megabyte of it.
constexpr std::uint64_t mostImageDataAfterImage = 3 * imageDataPiece;
// Chunks libpng skips (text, profiles) cost the time it takes to check their
// CRCs: 64 chunks, of 4 MiB in all, are all a PNG is allowed besides IHDR,
// PLTE, tRNS, IDAT and IEND.
constexpr std::uint64_t mostSkippedChunks = 64;
constexpr std::uint64_t mostSkippedBytes = 4 << 20;

// Where libpng's bytes come from: an open file or bytes in memory. The
// chunks are followed as they pass, so that compressed data past the image
// and an endless run of chunks to skip are refused early.
class PngInput {
 public:
  // From an open file, read a buffer at a time (a pic's PNG is mostly one).
  // (Left uninitialised: every byte used is read into it first.)
  explicit PngInput(int fd) : fd_(fd), buffer_(new std::uint8_t[bufferSize]), data_(buffer_.get()) {}
  PngInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // Up to `count` bytes; how many were there.
  std::size_t fetch(png_bytep out, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
      if (at_ == size_ && !refill()) break;
      const std::size_t take = std::min(count - got, size_ - at_);
      std::memcpy(out + got, data_ + at_, take);
      at_ += take;
      got += take;
    }
    return got;
  }

  bool failed() const { return failed_; }

  // The last row of the image is being read.
  void lastRow() { imageRead_ = true; }

  // The width and height IHDR declares, once its data has passed.
  bool declaredSize(std::uint32_t& width, std::uint32_t& height) const {
    if (ihdrHave_ < ihdr_.size()) return false;
    width = png_get_uint_32(ihdr_.data());
    height = png_get_uint_32(ihdr_.data() + 4);
    return true;
  }

  // The colours the PLTE chunk holds, as stored (libpng drops those past
  // what the image's bit depth reaches without a word).
  std::uint64_t paletteColours() const { return paletteColours_; }

  // libpng's read function: every byte after the signature goes through it.
  static void read(png_structp png, png_bytep out, std::size_t count) {
    auto* input = static_cast<PngInput*>(png_get_io_ptr(png));
    if (input->fetch(out, count) != count) {
      png_error(png, input->failed() ? "the file cannot be read" : "the file ends inside a chunk");
    }
    if (const char* why = input->follow(out, count)) png_error(png, why);
  }

 private:
  // Follows the chunks through `count` bytes: a length, a type, the data and
  // a CRC each. A reason to refuse the file, or null.
  const char* follow(const png_byte* bytes, std::size_t count) {
    while (count > 0) {
      if (headerHave_ < header_.size()) {
        const std::size_t take = std::min(count, header_.size() - headerHave_);
        std::memcpy(header_.data() + headerHave_, bytes, take);
        headerHave_ += take;
        bytes += take;
        count -= take;
        if (headerHave_ < header_.size()) break;
        const std::uint32_t length = png_get_uint_32(header_.data());
        left_ = length + std::uint64_t{4};  // data and CRC
        const auto is = [this](const char* type) { return std::memcmp(header_.data() + 4, type, 4) == 0; };
        if (chunks_++ == 0 && !is("IHDR")) return "the first chunk is not IHDR";
        if (!is("IDAT") && !is("IEND") && !is("PLTE") && !is("tRNS") && !is("IHDR")) {
          if (++otherChunks_ > mostSkippedChunks) return "more chunks than a picture needs";
          // (One over libpng's limit is refused by libpng, with its reason.)
          if (length <= mostChunkBytes && (skippedBytes_ += length) > mostSkippedBytes) {
            return "more metadata than a picture needs";
          }
        }
        // Image data is counted without the CRCs, however it is split.
        if (is("IDAT") && (imageData_ += length) > mostImageData) {
          return "more compressed data than a 32 x 32 image needs";
        }
        if (is("IDAT") && ++imageChunks_ > mostImageChunks) {
          return "more image data chunks than a picture needs";
        }
        if (is("PLTE")) paletteColours_ = length / 3;
        dataLeft_ = is("IDAT") ? length : 0;
        inIhdr_ = is("IHDR");
        continue;
      }
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(count, left_));
      if (inIhdr_ && ihdrHave_ < ihdr_.size()) {
        const std::size_t kept = std::min(take, ihdr_.size() - ihdrHave_);
        std::memcpy(ihdr_.data() + ihdrHave_, bytes, kept);
        ihdrHave_ += kept;
      }
      const std::uint64_t data = std::min<std::uint64_t>(take, dataLeft_);
      dataLeft_ -= data;
      if (imageRead_ && (imageDataAfter_ += data) > mostImageDataAfterImage) {
        return "compressed data goes on past the end of the image";
      }
      left_ -= take;
      bytes += take;
      count -= take;
      if (left_ == 0) headerHave_ = 0;
    }
    return nullptr;
  }

  // The next buffer of the file; false at its end or on an error.
  bool refill() {
    if (fd_ < 0) return false;
    for (;;) {
      const auto got = ::read(fd_, buffer_.get(), static_cast<unsigned>(bufferSize));
      if (got < 0 && errno == EINTR) continue;
      failed_ = got < 0;
      if (got <= 0) return false;
      at_ = 0;
      size_ = static_cast<std::size_t>(got);
      return true;
    }
  }

  static constexpr std::size_t bufferSize = 1 << 14;
  int fd_ = -1;
  std::unique_ptr<std::uint8_t[]> buffer_;
  bool failed_ = false;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t at_ = 0;

  std::array<png_byte, 8> header_{};
  std::size_t headerHave_ = 0;
  std::uint64_t left_ = 0;      // of the current chunk's data and CRC
  std::uint64_t dataLeft_ = 0;  // of the current chunk's image data
  std::uint64_t chunks_ = 0;
  bool imageRead_ = false;
  std::uint64_t imageData_ = 0;
  std::uint64_t imageDataAfter_ = 0;
  std::uint64_t imageChunks_ = 0;
  std::uint64_t otherChunks_ = 0;
  std::uint64_t skippedBytes_ = 0;
  std::uint64_t paletteColours_ = 0;
  bool inIhdr_ = false;
  std::array<png_byte, 8> ihdr_{};  // width and height
  std::size_t ihdrHave_ = 0;
};

// libpng reports errors by longjmp, and warnings, which mean it went on
// after repairing or dropping something, are errors here too. The message is
// kept for the caller.
struct ErrorSink {
  std::string message;
};

[[noreturn]] void onPngError(png_structp png, png_const_charp message) {
  // (libpng marks some messages with leading dots, which say nothing here.)
  while (*message == '.') ++message;
  static_cast<ErrorSink*>(png_get_error_ptr(png))->message = message;
  png_longjmp(png, 1);
}

[[noreturn]] void onPngWarning(png_structp png, png_const_charp message) { onPngError(png, message); }

class PngReader {
 public:
  explicit PngReader(ErrorSink& sink)
      : png_(png_create_read_struct(PNG_LIBPNG_VER_STRING, &sink, onPngError, onPngWarning)),
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

// What libpng repairs quietly by default, it refuses here: bad CRCs on any
// chunk, and every "benign" error (a chunk out of place, a tRNS longer than
// the palette, data past the image). It holds no chunk larger than it needs.
void refuseRepairs(png_structp png) {
  png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
  png_set_benign_errors(png, 0);
  png_set_chunk_malloc_max(png, mostChunkBytes);
  png_set_chunk_cache_max(png, mostKeptChunks);
  // Every chunk that cannot change a pic's pixels (text, profiles, gamma,
  // physical size...) is skipped without being parsed, its CRC still
  // checked: what libpng finds wrong inside one would otherwise refuse a good
  // picture. (A negative count means all of them: all but IHDR, PLTE, tRNS,
  // IDAT and IEND.)
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
  // The CRC of every chunk checks the image data already.
  png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
  // (For a read, this is the piece of image data libpng reads at a time.)
  png_set_compression_buffer_size(png, imageDataPiece);
}

using Rows = std::array<std::array<png_byte, std::size_t{4} * picSide>, picSide>;

// Asks libpng for 8-bit RGBA whatever the file holds, and nothing else: no
// gamma, no background, no colour management. Palette images come as their
// indexes, one a byte, which readRows looks up itself: libpng turns an index
// past the palette into opaque black without a word.
// Returns the number of interlace passes to read.
int requestRgba(png_structp png, png_infop info, bool palette) {
  if (palette) {
    png_set_packing(png);
  } else {
    png_set_expand(png);    // grey below 8 bits to 8, tRNS to alpha
    png_set_strip_16(png);  // the high byte of each 16-bit sample
    png_set_gray_to_rgb(png);
    if ((png_get_color_type(png, info) & PNG_COLOR_MASK_ALPHA) == 0 &&
        !png_get_valid(png, info, PNG_INFO_tRNS)) {
      png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    }
  }
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return passes;
}

// Each palette index of `rows` (one a byte, at the start of each row) as the
// RGBA of its palette entry and tRNS alpha. False, with `error` set, for an
// index past the palette.
bool lookUpPalette(png_structp png, png_infop info, Rows& rows, std::string& error) {
  png_colorp palette = nullptr;
  int colours = 0;
  if (png_get_PLTE(png, info, &palette, &colours) == 0) colours = 0;
  png_bytep alphas = nullptr;
  int alphaCount = 0;
  if (png_get_tRNS(png, info, &alphas, &alphaCount, nullptr) == 0) alphaCount = 0;
  for (std::size_t y = 0; y < rows.size(); ++y) {
    // From the right, so that each index is read before its RGBA covers it.
    for (std::size_t x = picSide; x-- > 0;) {
      const int index = rows[y][x];
      if (index >= colours) {
        error = "is not a readable PNG (pixel (" + std::to_string(x) + ", " + std::to_string(y) +
                ") has palette index " + std::to_string(index) + ", past the palette's " +
                std::to_string(colours) + " colours)";
        return false;
      }
      const png_color& colour = palette[index];
      png_byte* rgba = &rows[y][4 * x];
      rgba[0] = colour.red;
      rgba[1] = colour.green;
      rgba[2] = colour.blue;
      rgba[3] = index < alphaCount ? alphas[index] : 0xFF;
    }
  }
  return true;
}

std::string wrongSize(std::uint32_t width, std::uint32_t height) {
  return "is " + std::to_string(width) + " x " + std::to_string(height) + ", not 32 x 32";
}

// Reads the whole image into `rows`. False, with `error` set, when the input
// is not a 32 x 32 PNG that libpng reads to its end without a repair.
bool readRows(PngInput& input, Rows& rows, std::string& error) {
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
  bool palette = false;
  // NOLINTNEXTLINE(cert-err52-cpp): libpng reports errors only by longjmp
  if (setjmp(png_jmpbuf(png))) {
    // A size libpng cannot take at all is still just another size: said
    // alike whatever the width of this machine's pointers, which libpng
    // looks at first.
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    error = input.declaredSize(width, height) && (width != picSide || height != picSide) &&
                    sink.message.find("CRC") == std::string::npos
                ? wrongSize(width, height)
                : "is not a readable PNG (" + sink.message + ")";
    return false;
  }
  std::array<png_byte, 8> signature{};
  if (input.fetch(signature.data(), signature.size()) != signature.size() ||
      !startsAsPng(signature.data(), signature.size())) {
    error = input.failed() ? "cannot be read" : "is not a PNG file";
    return false;
  }
  refuseRepairs(png);
  png_set_read_fn(png, &input, PngInput::read);
  png_set_sig_bytes(png, static_cast<int>(signature.size()));
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  if (width != picSide || height != picSide) {
    error = wrongSize(width, height);
    return false;
  }
  palette = png_get_color_type(png, info) == PNG_COLOR_TYPE_PALETTE;
  const int depth = png_get_bit_depth(png, info);
  if (palette && input.paletteColours() > std::uint64_t{1} << depth) {
    error = "is not a readable PNG (a palette of " + std::to_string(input.paletteColours()) +
            " colours, more than " + std::to_string(depth) + "-bit indexes reach)";
    return false;
  }
  const int passes = requestRgba(png, info, palette);
  if (png_get_rowbytes(png, info) != (palette ? std::size_t{picSide} : rows[0].size())) {
    error = "cannot be read as 8-bit RGBA";
    return false;
  }
  // Row by row, pass by pass, as png_read_image would, but saying when the
  // last row starts: libpng reads to the end of the compressed data as soon
  // as it has that row.
  for (int pass = 0; pass < passes; ++pass) {
    for (std::size_t y = 0; y < rows.size(); ++y) {
      if (pass == passes - 1 && y + 1 == rows.size()) input.lastRow();
      png_read_row(png, pointers[y], nullptr);
    }
  }
  // Reads the rest, chunks after the image included: one that is damaged or
  // out of place (a tRNS) refuses the file.
  png_read_end(png, info);
  return !palette || lookUpPalette(png, info, rows, error);
}

// The alpha rule: alpha 255 (or at least the cutoff) is an opaque pixel in
// its colour, alpha 0 (or below the cutoff) a transparent one; without a
// cutoff any other alpha refuses the image at its first such pixel.
bool applyAlphaRule(const Rows& rows, int alphaCutoff, PicPixels& pixels, std::string& error) {
  const bool exact = alphaCutoff == exactAlpha;
  const auto opaqueFrom = static_cast<std::uint32_t>(exact ? 0xFF : alphaCutoff);
  // The rows lie back to back: 1,024 pixels of R, G, B, A, each taken as the
  // little-endian word A << 24 | B << 16 | G << 8 | R, in one plain loop that
  // the compiler can run several pixels at a time.
  static_assert(sizeof(Rows) == 4 * std::tuple_size_v<PicPixels> &&
                std::endian::native == std::endian::little);
  const auto* bytes = reinterpret_cast<const png_byte*>(rows.data());
  const auto word = [bytes](std::size_t p) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes + 4 * p, sizeof value);
    return value;
  };
  // Alpha + 1 takes 255 to 256 and 0 to 1, which have no bit of 0xFE set;
  // every other alpha has one.
  const auto between = [](std::uint32_t value) { return ((value >> 24) + 1) & 0xFE; };
  std::uint32_t anyBetween = 0;
  for (std::size_t p = 0; p < pixels.size(); ++p) {
    const std::uint32_t value = word(p);
    anyBetween |= between(value);
    const auto rgb =
        static_cast<std::int32_t>((value & 0xFF) << 16 | (value & 0xFF00) | (value >> 16 & 0xFF));
    pixels[p] = value >> 24 >= opaqueFrom ? rgb : transparentPixel;
  }
  if (!exact || anyBetween == 0) return true;
  std::size_t at = 0;
  while (between(word(at)) == 0) ++at;
  error = "pixel (" + std::to_string(at % picSide) + ", " + std::to_string(at / picSide) + ") has alpha " +
          std::to_string(word(at) >> 24) + "; only 0 and 255 are allowed without --alpha-cutoff";
  return false;
}

bool importFrom(PngInput& input, int alphaCutoff, PicPixels& pixels, std::string& error) {
  Rows rows{};
  return readRows(input, rows, error) && applyAlphaRule(rows, alphaCutoff, pixels, error);
}

}  // namespace

bool parseAlphaCutoff(const std::string& text, int& cutoff, std::string& error) {
  const bool digits =
      !text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos;
  if (digits && std::stoi(text) >= 1 && std::stoi(text) <= 255) {
    cutoff = std::stoi(text);
    return true;
  }
  error = "--alpha-cutoff takes a number from 1 to 255, not '" + text + "'";
  return false;
}

bool startsAsPng(const std::uint8_t* bytes, std::size_t size) {
  return size >= 8 && png_sig_cmp(bytes, 0, 8) == 0;
}

bool importPng(const std::string& path, int alphaCutoff, PicPixels& pixels, std::string& error,
               const struct stat* writing) {
  // A FIFO or a device named like a pic is never opened, nor waited on.
  bool notRegular = false;
  const int fd = openRegularFile(path.c_str(), notRegular);
  if (fd < 0) {
    error = notRegular ? "is not a regular file" : std::string("cannot be opened: ") + std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    error = std::string("cannot be read: ") + std::strerror(errno);
    close(fd);
    return false;
  }
  // (Windows gives no file an inode number: there, names are all there is.)
  if (writing != nullptr && writing->st_ino != 0 && info.st_dev == writing->st_dev &&
      info.st_ino == writing->st_ino) {
    close(fd);
    error = "is the archive being written";
    return false;
  }
  PngInput input(fd);
  const bool imported = importFrom(input, alphaCutoff, pixels, error);
  close(fd);
  return imported;
}

bool importPngBytes(const std::uint8_t* data, std::size_t size, int alphaCutoff, PicPixels& pixels,
                    std::string& error) {
  PngInput input(data, size);
  return importFrom(input, alphaCutoff, pixels, error);
}
