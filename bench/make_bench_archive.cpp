// make-bench-archive [--noisy|--shared|--overlapping] DIR [COUNT] [SEED]:
// writes DIR/vorna.spr with COUNT slots (default 20,000, at most 65,535) of
// game-like sprites, the same archive for the same seed (default 1). With
// --noisy every pixel carries a little noise, as shaded and dithered sprites
// do, which makes their PNGs compress worse than flat shapes.
//
// The other two draw the worst a base can be for its size: every slot shares
// one maximal block (a run of 65,535 colours, 196,609 bytes of which 1,024
// land), or every slot has a maximal block of its own, each starting 9 bytes
// after the last, all overlapping. Decoded naively, either costs 65,535 times
// 196 KB.
//
// Each sprite is an irregular blob (a few overlapping ellipses with a ragged
// edge) inside a transparent border, shaded from a light source at the top
// left, with a darker outline and now and then a highlight or a hole; hue,
// size and position vary. About 3% of the slots are empty.
//
// Block offsets have 24 bits, so an archive's blocks must start within its
// first 16 MiB: about 20,000 sprites of this kind fit. Past that, slots reuse
// earlier blocks, as repeated animation frames do; the converter still
// decodes and writes each of them.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <random>
#include <string>

#include "testsupport/archive_writer.h"

namespace {

using testsupport::Rgb;
using testsupport::Sprite;

struct Ellipse {
  double cx, cy, rx, ry;
};

std::uint8_t channel(double value) {
  return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// A colour from hue (0..1) and brightness (0..1), fully saturated enough to
// look like a game palette.
Rgb shade(double hue, double brightness) {
  const double h = hue * 6.0;
  const double x = 1.0 - std::fabs(std::fmod(h, 2.0) - 1.0);
  double r = 0, g = 0, b = 0;
  switch (static_cast<int>(h) % 6) {
    case 0: r = 1, g = x; break;
    case 1: r = x, g = 1; break;
    case 2: g = 1, b = x; break;
    case 3: g = x, b = 1; break;
    case 4: r = x, b = 1; break;
    default: r = 1, b = x; break;
  }
  const double base = 0.25;  // keeps some of every channel, as sprites do
  const auto mix = [&](double c) { return 255.0 * brightness * (base + (1.0 - base) * c); };
  return Rgb{channel(mix(r)), channel(mix(g)), channel(mix(b))};
}

// Up to `amount` either way on each channel.
Rgb addNoise(Rgb colour, int amount, std::mt19937& random) {
  const auto jitter = [&](std::uint8_t value) {
    const int offset = static_cast<int>(random() % static_cast<unsigned>(2 * amount + 1)) - amount;
    return channel(value + offset);
  };
  return Rgb{jitter(colour.red), jitter(colour.green), jitter(colour.blue)};
}

Sprite drawSprite(std::mt19937& random, bool noisy) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const int border = 1 + static_cast<int>(random() % 4);
  const double inner = 32.0 - 2 * border;
  std::vector<Ellipse> parts;
  const int count = 1 + static_cast<int>(random() % 4);
  for (int i = 0; i < count; ++i) {
    const double rx = inner * (0.12 + 0.24 * unit(random));
    const double ry = inner * (0.12 + 0.24 * unit(random));
    parts.push_back({border + rx + (inner - 2 * rx) * unit(random),
                     border + ry + (inner - 2 * ry) * unit(random), rx, ry});
  }
  const double hue = unit(random);
  const double ragged = 0.15 * unit(random);
  const bool hole = random() % 5 == 0;

  // How deep (0 at the edge, 1 at a centre) the point lies in the blob.
  const auto depth = [&](double x, double y) {
    double best = -1.0;
    for (const Ellipse& e : parts) {
      const double dx = (x - e.cx) / e.rx;
      const double dy = (y - e.cy) / e.ry;
      best = std::max(best, 1.0 - std::sqrt(dx * dx + dy * dy));
    }
    return best;
  };

  Sprite sprite;
  for (int y = border; y < 32 - border; ++y) {
    for (int x = border; x < 32 - border; ++x) {
      const double px = x + 0.5;
      const double py = y + 0.5;
      const double d = depth(px, py) + ragged * (unit(random) - 0.5);
      if (d <= 0.0) continue;
      if (hole && std::fabs(d - 0.5) < 0.08) continue;
      // Light from the top left: brighter where the blob faces it.
      const double slope = (depth(px + 1, py + 1) - depth(px - 1, py - 1)) * 4.0;
      double brightness = std::clamp(0.55 + 0.35 * d - slope, 0.15, 1.0);
      if (d < 0.12) brightness *= 0.45;  // outline
      Rgb colour = shade(hue, brightness);
      if (d > 0.85 && random() % 3 == 0) colour = Rgb{250, 250, 240};  // highlight
      if (noisy) colour = addNoise(colour, 6, random);
      sprite.at(static_cast<std::size_t>(y) * 32 + static_cast<std::size_t>(x)) = colour;
    }
  }
  return sprite;
}

// Maximal blocks: prefix, size 65,535, one run (t = 0, c = 65,535). Shared:
// one such block for all; overlapping: the 9 bytes of a block's header and
// run header, repeated, so that a block starts every 9 bytes.
testsupport::Bytes worstBase(long count, bool shared, std::mt19937& random) {
  testsupport::Bytes archive = {'V', 'S', 'P', 'R'};
  testsupport::appendLe16(archive, static_cast<unsigned>(count));
  const std::size_t blocks = 6 + 4 * static_cast<std::size_t>(count);
  for (long k = 0; k < count; ++k) {
    testsupport::appendLe32(
        archive, static_cast<std::uint32_t>(blocks + (shared ? 0 : 9 * static_cast<std::size_t>(k))));
  }
  const testsupport::Bytes header = {7, 8, 9, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF};
  if (shared) {
    archive.insert(archive.end(), header.begin(), header.end());
    for (int k = 0; k < 3 * 65535; ++k) archive.push_back(static_cast<std::uint8_t>(random()));
  } else {
    for (long k = 0; k < count + 3 * 65535 / 9 + 1; ++k) {
      archive.insert(archive.end(), header.begin(), header.end());
    }
  }
  return archive;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string kind = argc >= 2 && argv[1][0] == '-' ? argv[1] : "";
  if (!kind.empty()) {
    --argc;
    ++argv;
  }
  const bool noisy = kind == "--noisy";
  if (!kind.empty() && !noisy && kind != "--shared" && kind != "--overlapping") argc = 0;
  const long count = argc >= 3 ? std::strtol(argv[2], nullptr, 10) : 20000;
  const long seed = argc >= 4 ? std::strtol(argv[3], nullptr, 10) : 1;
  if (argc < 2 || argc > 4 || count < 1 || count > 65535 || seed < 0) {
    std::fprintf(stderr,
                 "usage: make-bench-archive [--noisy|--shared|--overlapping] DIR [COUNT 1..65535] [SEED]\n");
    return 2;
  }
  try {
    std::mt19937 random(static_cast<unsigned>(seed));
    if (kind == "--shared" || kind == "--overlapping") {
      const std::filesystem::path path = std::filesystem::path(argv[1]) / "vorna.spr";
      testsupport::writeFile(path, worstBase(count, kind == "--shared", random));
      std::printf("%s: %ld slots\n", path.c_str(), count);
      return 0;
    }
    testsupport::ArchiveWriter writer;
    std::size_t end = 6 + 4 * static_cast<std::size_t>(count);  // where the next block would start
    constexpr std::size_t largestBlock = 5 + 4 * 1024 + 3 * 1024;
    // vorna-pack's runs start with an empty run when pixel 0 is transparent,
    // 4 bytes more than these blocks have: keep room for them, so that the
    // set's PNGs can be packed afresh into one archive too.
    constexpr std::size_t packedExtra = 4;
    std::size_t blocks = 0;
    for (long i = 0; i < count; ++i) {
      if (random() % 100 < 3) {
        writer.addEmptySlot();
      } else if (end + packedExtra * (blocks + 1) + largestBlock <= 0xFFFFFF) {
        const testsupport::Bytes runs =
            testsupport::encodeRuns(testsupport::runsForSprite(drawSprite(random, noisy), random() % 2 == 0));
        writer.addPic(runs);
        end += 5 + runs.size();
        ++blocks;
      } else {
        writer.addCopyOf(static_cast<int>(random() % static_cast<unsigned long>(i)) + 1);
      }
    }
    const std::filesystem::path path = std::filesystem::path(argv[1]) / "vorna.spr";
    testsupport::writeFile(path, writer.bytes());
    std::printf("%s: %ld slots\n", path.c_str(), count);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make-bench-archive: %s\n", error.what());
    return 1;
  }
  return 0;
}
