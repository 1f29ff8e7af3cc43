#include "pack/png_import.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <map>
#include <random>

#include "testsupport/png_writer.h"
#include "testsupport/sample_archives.h"
#include "testsupport/scratch.h"

namespace {

using testsupport::pixelsOf;

using testsupport::PngLayout;
using testsupport::Rgb;
using testsupport::Sprite;

// A sprite of few colours, so that every format can hold it, with pixel 0
// transparent and the rest in a pattern that interlacing scatters.
Sprite fewColours(bool grey) {
  const std::array<Rgb, 3> colours =
      grey ? std::array<Rgb, 3>{Rgb{0, 0, 0}, Rgb{77, 77, 77}, Rgb{255, 255, 255}}
           : std::array<Rgb, 3>{Rgb{255, 0, 0}, Rgb{0, 0, 0}, Rgb{128, 128, 128}};
  Sprite sprite;
  for (std::size_t p = 1; p < 1024; ++p) {
    if (p % 7 != 3) sprite[p] = colours[(p / 5) % 3];
  }
  return sprite;
}

// The sprite in the given colour type and depth (8 or 16). Transparent
// pixels are alpha 0, or a tRNS colour for types without alpha.
PngLayout layoutFor(const Sprite& sprite, int colourType, int depth) {
  PngLayout layout;
  layout.colourType = colourType;
  layout.bitDepth = depth;
  // A colour the sprites do not use. tRNS matches all 16 bits of a sample,
  // so at depth 16 it is the high bytes 1, 2, 3 over low bytes 0.
  const auto scale = static_cast<png_uint_16>(depth == 16 ? 256 : 1);
  const png_color_16 key{0, static_cast<png_uint_16>(1 * scale), static_cast<png_uint_16>(2 * scale),
                         static_cast<png_uint_16>(3 * scale), static_cast<png_uint_16>(3 * scale)};
  const Rgb keyColour{1, 2, 3};
  std::map<std::uint32_t, std::uint8_t> indices;
  const auto sample = [&](int value, int low) {
    if (depth == 16) layout.rows.push_back(static_cast<std::uint8_t>(value));
    layout.rows.push_back(static_cast<std::uint8_t>(depth == 16 ? low : value));
  };
  for (const auto& pixel : sprite) {
    const bool opaque = pixel.has_value();
    const Rgb colour = pixel.value_or(Rgb{1, 2, 3});
    switch (colourType) {
      case PNG_COLOR_TYPE_PALETTE: {
        const std::uint32_t key32 =
            opaque ? std::uint32_t{colour.red} << 16 | std::uint32_t{colour.green} << 8 | colour.blue
                   : 0xFF000000;
        if (indices.count(key32) == 0) {
          indices[key32] = static_cast<std::uint8_t>(layout.palette.size());
          layout.palette.push_back(png_color{colour.red, colour.green, colour.blue});
          layout.paletteAlpha.push_back(opaque ? 255 : 0);
        }
        layout.rows.push_back(indices[key32]);
        break;
      }
      case PNG_COLOR_TYPE_GRAY:
        sample(opaque ? colour.red : keyColour.blue, opaque ? 0x5A : 0);
        layout.transparentColour = key;
        break;
      case PNG_COLOR_TYPE_GRAY_ALPHA:
        sample(colour.red, 0xA5);
        sample(opaque ? 255 : 0, opaque ? 0 : 255);  // only the high byte counts
        break;
      case PNG_COLOR_TYPE_RGB:
        for (const int value :
             {int{opaque ? colour.red : keyColour.red}, int{opaque ? colour.green : keyColour.green},
              int{opaque ? colour.blue : keyColour.blue}}) {
          sample(value, 0);
        }
        layout.transparentColour = key;
        break;
      default:
        for (const int value : {int{colour.red}, int{colour.green}, int{colour.blue}}) sample(value, 0x33);
        sample(opaque ? 255 : 0, 0x80);
        break;
    }
  }
  return layout;
}

TEST(ImportPng, EveryColourTypeDepthAndInterlacingGivesThePixels) {
  struct Case {
    int colourType;
    int depth;
    bool grey;
  };
  const std::vector<Case> cases = {
      {PNG_COLOR_TYPE_RGBA, 8, false},       {PNG_COLOR_TYPE_RGBA, 16, false},
      {PNG_COLOR_TYPE_RGB, 8, false},        {PNG_COLOR_TYPE_RGB, 16, false},
      {PNG_COLOR_TYPE_PALETTE, 8, false},    {PNG_COLOR_TYPE_GRAY, 8, true},
      {PNG_COLOR_TYPE_GRAY, 16, true},       {PNG_COLOR_TYPE_GRAY_ALPHA, 8, true},
      {PNG_COLOR_TYPE_GRAY_ALPHA, 16, true},
  };
  testsupport::ScratchDir dir;
  for (const Case& c : cases) {
    for (const bool interlaced : {false, true}) {
      const Sprite sprite = fewColours(c.grey);
      PngLayout layout = layoutFor(sprite, c.colourType, c.depth);
      layout.interlaced = interlaced;
      const std::string path = (dir / "1.png").string();
      testsupport::writePngFile(path, layout);
      PicPixels pixels{};
      std::string error;
      ASSERT_TRUE(importPng(path, exactAlpha, pixels, error))
          << c.colourType << "/" << c.depth << ": " << error;
      EXPECT_EQ(pixels, pixelsOf(sprite))
          << "type " << c.colourType << " depth " << c.depth << " interlaced " << interlaced;
    }
  }
  // Pixels of a random sprite, in every colour, through the usual RGBA.
  std::mt19937 random(3);
  const Sprite sprite = testsupport::randomSprite(random);
  testsupport::writeSpritePng(dir / "2.png", sprite);
  PicPixels pixels{};
  std::string error;
  ASSERT_TRUE(importPng((dir / "2.png").string(), exactAlpha, pixels, error));
  EXPECT_EQ(pixels, pixelsOf(sprite));
}

TEST(ImportPng, AlphaBetweenIsRefusedAtItsFirstPixelUnlessACutoffIsGiven) {
  testsupport::ScratchDir dir;
  PngLayout layout = layoutFor(Sprite{}, PNG_COLOR_TYPE_RGBA, 8);
  const auto setAlpha = [&layout](int x, int y, std::uint8_t alpha) {
    layout.rows[(static_cast<std::size_t>(y) * 32 + static_cast<std::size_t>(x)) * 4 + 3] = alpha;
  };
  setAlpha(9, 1, 255);
  setAlpha(1, 3, 127);
  setAlpha(5, 2, 128);  // first in row order, though not in column order
  setAlpha(6, 2, 1);
  const std::string path = (dir / "7.png").string();
  testsupport::writePngFile(path, layout);

  PicPixels pixels{};
  std::string error;
  EXPECT_FALSE(importPng(path, exactAlpha, pixels, error));
  EXPECT_EQ(error, "pixel (5, 2) has alpha 128; only 0 and 255 are allowed without --alpha-cutoff");

  const std::map<int, std::vector<int>> opaqueAt = {{1, {41, 69, 70, 97}}, {128, {41, 69}}, {255, {41}}};
  for (const auto& [cutoff, opaque] : opaqueAt) {
    ASSERT_TRUE(importPng(path, cutoff, pixels, error)) << error;
    std::vector<int> got;
    for (int p = 0; p < 1024; ++p) {
      if (pixels[static_cast<std::size_t>(p)] != transparentPixel) got.push_back(p);
    }
    EXPECT_EQ(got, opaque) << "cutoff " << cutoff;
  }
}

TEST(ImportPng, OtherSizesAndBrokenFilesAreRefusedWithTheReason) {
  testsupport::ScratchDir dir;
  PngLayout wide = layoutFor(Sprite{}, PNG_COLOR_TYPE_RGBA, 8);
  wide.width = 33;
  wide.rows.resize(std::size_t{33} * 32 * 4);
  testsupport::writePngFile(dir / "wide.png", wide);
  testsupport::writeSpritePng(dir / "whole.png", Sprite{});
  std::ifstream whole(dir / "whole.png", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(whole)), std::istreambuf_iterator<char>());
  std::ofstream(dir / "cut.png", std::ios::binary) << bytes.substr(0, bytes.size() - 20);
  std::ofstream(dir / "text.png") << "not a picture at all\n";

  const std::map<std::string, std::string> reasons = {
      {"wide.png", "is 33 x 32, not 32 x 32"},
      {"text.png", "is not a PNG file"},
      {"missing.png", "cannot be opened: No such file or directory"},
  };
  PicPixels pixels{};
  for (const auto& [name, reason] : reasons) {
    std::string error;
    EXPECT_FALSE(importPng((dir / name).string(), exactAlpha, pixels, error)) << name;
    EXPECT_EQ(error, reason);
  }
  std::string error;
  EXPECT_FALSE(importPng((dir / "cut.png").string(), exactAlpha, pixels, error));
  EXPECT_EQ(error.rfind("is not a readable PNG (", 0), 0u) << error;
}

// A PNG laid out chunk by chunk, damage and all.
class RawPng {
 public:
  RawPng() : bytes_{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'} {}

  RawPng& chunk(const std::string& type, const std::vector<std::uint8_t>& data, bool badCrc = false) {
    return chunkOfLength(type, data, static_cast<std::uint32_t>(data.size()), badCrc);
  }
  // The length field says `length`, whatever follows.
  RawPng& chunkOfLength(const std::string& type, const std::vector<std::uint8_t>& data, std::uint32_t length,
                        bool badCrc = false) {
    putBe32(length);
    const std::size_t start = bytes_.size();
    bytes_.insert(bytes_.end(), type.begin(), type.end());
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    const auto crc =
        static_cast<std::uint32_t>(crc32(0, bytes_.data() + start, static_cast<uInt>(bytes_.size() - start)));
    putBe32(badCrc ? crc ^ 1 : crc);
    return *this;
  }
  RawPng& header(std::uint8_t colourType, std::uint8_t depth = 8) {
    return chunk("IHDR", {0, 0, 0, 32, 0, 0, 0, 32, depth, colourType, 0, 0, 0});
  }
  // Each row's filter byte 0, then its bytes; followed in the same stream
  // by `extra` more bytes of data past the image. Or, with `emptyBlocks`,
  // stored whole after that many empty stored blocks, which add nothing.
  RawPng& image(const std::vector<std::uint8_t>& row, std::size_t extra = 0, std::size_t emptyBlocks = 0) {
    std::vector<std::uint8_t> raw;
    for (int y = 0; y < 32; ++y) {
      raw.push_back(0);
      raw.insert(raw.end(), row.begin(), row.end());
    }
    std::mt19937 random(1);
    for (std::size_t k = 0; k < extra; ++k) raw.push_back(static_cast<std::uint8_t>(random()));
    std::vector<std::uint8_t> packed(compressBound(static_cast<uLong>(raw.size())));
    uLongf size = static_cast<uLongf>(packed.size());
    compress(packed.data(), &size, raw.data(), static_cast<uLong>(raw.size()));
    packed.resize(size);
    if (emptyBlocks > 0) {
      packed = {0x78, 0x01};
      for (std::size_t k = 0; k < emptyBlocks; ++k) packed.insert(packed.end(), {0, 0, 0, 0xFF, 0xFF});
      const auto length = static_cast<std::uint16_t>(raw.size());
      packed.insert(packed.end(),
                    {1, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                     static_cast<std::uint8_t>(~length), static_cast<std::uint8_t>(~length >> 8)});
      packed.insert(packed.end(), raw.begin(), raw.end());
      const auto check = static_cast<std::uint32_t>(adler32(1, raw.data(), static_cast<uInt>(raw.size())));
      for (int shift = 24; shift >= 0; shift -= 8) {
        packed.push_back(static_cast<std::uint8_t>(check >> shift));
      }
    }
    // In chunks of 8 KiB, as encoders split it.
    for (std::size_t at = 0; at < packed.size(); at += 8192) {
      chunk("IDAT", {packed.begin() + static_cast<long>(at),
                     packed.begin() + static_cast<long>(std::min(packed.size(), at + 8192))});
    }
    return *this;
  }
  RawPng& end() { return chunk("IEND", {}); }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  void putBe32(std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
  }
  std::vector<std::uint8_t> bytes_;
};

// A PNG that libpng reads only by repairing or dropping something, or whose
// chunks would cost memory or time out of all proportion, is refused with
// the reason; metadata that changes no pixel is no reason.
TEST(ImportPng, RepairsAndBombsAreRefusedWithTheReason) {
  const std::vector<std::uint8_t> palette = {255, 0, 0, 0, 255, 0};
  std::vector<std::uint8_t> indexes(32, 1);
  indexes[0] = 0;
  const std::vector<std::uint8_t> rgba(std::size_t{32} * 4, 255);
  const auto paletted = [&](const std::vector<std::uint8_t>& row) {
    return RawPng().header(3).chunk("PLTE", palette).image(row);
  };
  std::vector<RawPng> unknowns(3, RawPng().header(6));
  for (int k = 0; k < 70; ++k) unknowns[0].chunk("prVt", {1, 2, 3});
  // Each of these within libpng's limits, but not all of them.
  for (int k = 0; k < 5; ++k) unknowns[1].chunk("prVt", std::vector<std::uint8_t>(std::size_t{1} << 20));
  for (int k = 0; k < 17000; ++k) unknowns[2].chunk("IDAT", {});

  const std::vector<std::pair<std::string, RawPng>> refused = {
      {"tRNS: CRC error",
       RawPng().header(3).chunk("PLTE", palette).chunk("tRNS", {0}, true).image(indexes).end()},
      {"tRNS: invalid",
       RawPng().header(3).chunk("PLTE", palette).chunk("tRNS", {0, 255, 255}).image(indexes).end()},
      {"tRNS: out of place", paletted(indexes).chunk("tRNS", {0}).end()},
      {"tEXt: CRC error", RawPng().header(6).chunk("tEXt", {'a', 0, 'b'}, true).image(rgba).end()},
      {"palette index 5, past the palette's 2 colours", paletted(std::vector<std::uint8_t>(32, 5)).end()},
      {"tEXt: chunk data is too large", RawPng().header(6).chunkOfLength("tEXt", {'a', 0}, 0x7FFFFFFF)},
      {"zTXt: chunk data is too large", RawPng().header(6).chunkOfLength("zTXt", {'a', 0}, 0x7FFFFFFF)},
      {"compressed data goes on past the end of the image", RawPng().header(6).image(rgba, 40000).end()},
      {"more compressed data than a 32 x 32 image needs", RawPng().header(6).image(rgba, 0, 20000).end()},
      {"more chunks than a picture needs", unknowns[0].image(rgba).end()},
      {"more metadata than a picture needs", unknowns[1].image(rgba).end()},
      {"more image data chunks than a picture needs", unknowns[2].image(rgba).end()},
      // libpng would drop the colours that 1-bit indexes cannot reach.
      {"a palette of 4 colours, more than 1-bit indexes reach",
       RawPng().header(3, 1).chunk("PLTE", {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4}).image({0, 0, 0, 0}).end()},
  };
  PicPixels pixels{};
  for (const auto& [reason, png] : refused) {
    std::string error;
    EXPECT_FALSE(importPngBytes(png.bytes().data(), png.bytes().size(), exactAlpha, pixels, error)) << reason;
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }

  std::string error;
  const RawPng stored = RawPng().header(6).image(rgba, 0, 10).end();  // the same stream, not padded to excess
  EXPECT_TRUE(importPngBytes(stored.bytes().data(), stored.bytes().size(), exactAlpha, pixels, error))
      << error;
  const RawPng withText = RawPng()
                              .header(3)
                              .chunk("PLTE", palette)
                              .chunk("tRNS", {0})
                              .chunk("tEXt", std::vector<std::uint8_t>(200000, 'x'))
                              .image(indexes)
                              .chunk("iTXt", {'a', 0, 0, 0, 0, 0})
                              .end();
  ASSERT_TRUE(importPngBytes(withText.bytes().data(), withText.bytes().size(), exactAlpha, pixels, error))
      << error;
  for (std::size_t p = 0; p < pixels.size(); ++p) {
    EXPECT_EQ(pixels[p], p % 32 == 0 ? transparentPixel : 0x00FF00) << p;
  }
}

}  // namespace
