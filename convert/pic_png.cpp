#include "convert/pic_png.h"

#include "convert/decode_runs.h"

gdImagePtr makePicImage() {
  gdImagePtr image = gdImageCreateTrueColor(picSide, picSide);
  if (image == nullptr) return nullptr;
  gdImageAlphaBlending(image, 0);
  gdImageFilledRectangle(image, 0, 0, picSide - 1, picSide - 1, picBackground);
  return image;
}

EncodedPng encodeImage(gdImagePtr image) {
  EncodedPng png;
  gdImageSaveAlpha(image, 1);
  int size = 0;
  png.bytes.reset(gdImagePngPtr(image, &size));
  gdImageDestroy(image);
  if (png.bytes && size > 0) png.size = static_cast<std::size_t>(size);
  return png;
}

std::vector<std::uint8_t> encodePicPng(const PicPixels& pixels) {
  gdImagePtr image = makePicImage();
  if (image == nullptr) return {};
  for (std::size_t p = 0; p < pixels.size(); ++p) {
    const std::int32_t pixel = pixels[p];
    if (pixel != transparentPixel) {
      putPicPixel(static_cast<int>(p), pixel >> 16 & 0xFF, pixel >> 8 & 0xFF, pixel & 0xFF, image);
    }
  }
  const EncodedPng png = encodeImage(image);
  const auto* bytes = static_cast<const std::uint8_t*>(png.bytes.get());
  return {bytes, bytes + png.size};
}
