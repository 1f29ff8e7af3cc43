#pragma once

// The run decoder: where a pic's colours land on its 32 x 32 image. Both
// programs decode through walkRuns, so they can never disagree on it.
//
// It keeps a cursor p, the pixel number (32 * y + x) of the next colour, and
// the count n of run-data bytes read; both start at 0. While p <= 1023 and
// n < size it reads a run (t, c):
//   - if t > 0, p advances by t - 1, not t; if t = 0, p stays;
//   - if that took p past 1023, that p is reported (vorna-unpack prints
//     "warining: i is <p> in <id>") and the run is decoded anyway;
//   - each of the c colours lands at p, then p advances by 1;
//   - p advances by 1 more after the colours, also when c = 0.
// So a run with t > 0 that follows one with colours starts t + 1 numbers after
// that run's last colour, and a first run (t = 32, c = 1) colours pixel 31.
// Both bounds are tested only before a run: a run is always decoded whole, and
// its colours past pixel 1023 are consumed and dropped. Every image ever written
// from an archive depends on this arithmetic, odd steps included.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "archive/archive_stream.h"
#include "archive/pic_entry.h"

// One colour as stored, each component 0..255.
struct PicColour {
  int red;
  int green;
  int blue;
};

inline constexpr int picSide = 32;
inline constexpr int lastPixel = picSide * picSide - 1;

// A pic's pixels by number: 0xRRGGBB for an opaque pixel, or transparentPixel.
using PicPixels = std::array<std::int32_t, std::size_t{picSide} * picSide>;
inline constexpr std::int32_t transparentPixel = -1;

// Reads the next 4 bytes of the archive into entry.run. (Inline, as readRgb:
// both run once per run or colour in every decoder.) `source` is a
// StreamSource or a MemorySource.
template <typename Source>
ReadStatus readRunHeader(PicEntry& entry, Source& source) {
  return source.read(entry.run.data(), entry.run.size());
}

// Reads the next 3 bytes of the archive as red, green, blue.
template <typename Source>
ReadStatus readRgb(Source& source, PicColour& colour) {
  std::array<std::uint8_t, 3> bytes{};
  const ReadStatus status = source.read(bytes.data(), bytes.size());
  if (status == ReadStatus::ok) colour = PicColour{bytes[0], bytes[1], bytes[2]};
  return status;
}

// How a pic's run data was decoded.
struct RunsOutcome {
  ReadStatus status = ReadStatus::ok;  // ok when every run was read whole
  int warningAt = -1;                  // the cursor past 1023 a run's t gave, or -1
  int consumed = 0;                    // run-data bytes read (n): 4 per header, 3 per colour
  int runs = 0;                        // run headers read whole
};

// The run decoder itself, quiet: reads the entry's runs from where `source`
// stands and hands each colour and its pixel number (0..1023) to `put`. Both
// programs and the web page decode through it, so that they can never
// disagree on where a pixel lands.
//
// Colours that fall past pixel 1023 land nowhere: they are stepped over, not
// read, but counted in n as if read, and a run cut short among them is still
// told by the file's length. So a pic costs what it draws, however many
// bytes its runs declare (up to 196,605 a run).
template <typename Source, typename Put>
RunsOutcome walkRuns(PicEntry& entry, Source& source, Put&& put) {
  RunsOutcome outcome;
  int p = 0;  // at most 1023 + 65534 + 65535 + 1
  int n = 0;  // at most 65534 + 4 + 3 * 65535
  while (outcome.status == ReadStatus::ok && p <= lastPixel && n < entry.size) {
    outcome.status = readRunHeader(entry, source);
    if (outcome.status != ReadStatus::ok) break;
    ++outcome.runs;
    n += 4;
    const int transparent = le16(&entry.run[0]);
    if (transparent > 0) p += transparent - 1;
    // Only the run that takes the cursor past the last pixel can do this:
    // the loop ends at its next test.
    if (p > lastPixel) outcome.warningAt = p;

    const int coloured = le16(&entry.run[2]);
    int k = 0;
    // Bytes in memory are checked once for the run's colours that can land.
    if constexpr (requires { source.take(std::size_t{0}); }) {
      const int landing = std::min(coloured, std::max(0, lastPixel + 1 - p));
      if (const std::uint8_t* rgb = source.take(std::size_t{3} * static_cast<std::size_t>(landing))) {
        for (; k < landing; ++k, rgb += 3) put(p++, PicColour{rgb[0], rgb[1], rgb[2]});
        n += 3 * landing;
      }
    }
    for (; k < coloured && p <= lastPixel; ++k) {
      PicColour colour{};
      outcome.status = readRgb(source, colour);
      if (outcome.status != ReadStatus::ok) break;
      put(p, colour);
      n += 3;
      ++p;
    }
    if (outcome.status != ReadStatus::ok) break;
    if (k < coloured) {
      const int rest = coloured - k;
      outcome.status = source.skip(std::size_t{3} * static_cast<std::size_t>(rest));
      if (outcome.status != ReadStatus::ok) break;
      n += 3 * rest;
      p += rest;
    }
    ++p;
  }
  outcome.consumed = n;
  return outcome;
}

template <typename Put>
RunsOutcome walkRuns(PicEntry& entry, std::FILE* archive, Put&& put) {
  StreamSource source{archive};
  return walkRuns(entry, source, std::forward<Put>(put));
}

// walkRuns into `pixels`, which should start all transparent: what
// vorna-unpack would draw for the pic, without a word printed.
template <typename Source>
RunsOutcome drawRuns(PicEntry& entry, Source& source, PicPixels& pixels) {
  return walkRuns(entry, source, [&pixels](int p, const PicColour& colour) {
    pixels[static_cast<std::size_t>(p)] = colour.red << 16 | colour.green << 8 | colour.blue;
  });
}
RunsOutcome drawRuns(PicEntry& entry, std::FILE* archive, PicPixels& pixels);

// Says what vorna-unpack says of a pic's runs once they are decoded: the
// "warining" line when a run took the cursor past the last pixel, then the
// line for run data cut short. (Nothing else is said while a pic decodes, so
// saying these afterwards keeps the order of the lines.)
void reportPicRuns(const RunsOutcome& outcome, int id);
