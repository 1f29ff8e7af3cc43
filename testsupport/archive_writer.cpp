#include "testsupport/archive_writer.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "archive/archive_layout.h"

namespace testsupport {

void appendLe16(Bytes& out, unsigned value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void appendLe32(Bytes& out, std::uint32_t value) {
  appendLe16(out, value & 0xFFFF);
  appendLe16(out, value >> 16);
}

Bytes encodeRuns(const std::vector<Run>& runs) {
  Bytes out;
  for (const Run& run : runs) {
    appendLe16(out, run.transparent);
    appendLe16(out, static_cast<unsigned>(run.colours.size()));
    for (const Rgb& c : run.colours) out.insert(out.end(), {c.red, c.green, c.blue});
  }
  return out;
}

std::vector<Run> runsForSprite(const Sprite& sprite, bool preferOne) {
  std::vector<Run> runs;
  int cursor = 0;  // where the decoder's cursor stands before the next run
  int p = 0;
  const int pixels = static_cast<int>(sprite.size());
  while (p < pixels) {
    if (!sprite[static_cast<std::size_t>(p)]) {
      ++p;
      continue;
    }
    Run run;
    // t > 0 moves the cursor by t - 1; t = 0 leaves it.
    const int gap = p - cursor;
    run.transparent = static_cast<std::uint16_t>(gap > 0 ? gap + 1 : (preferOne ? 1 : 0));
    while (p < pixels && sprite[static_cast<std::size_t>(p)]) {
      run.colours.push_back(*sprite[static_cast<std::size_t>(p)]);
      ++p;
    }
    cursor = p + 1;  // the decoder skips one pixel after every run
    runs.push_back(std::move(run));
  }
  return runs;
}

int ArchiveWriter::addPic(const Bytes& runData, std::optional<std::uint16_t> declaredSize) {
  if (runData.size() > 0xFFFF && !declaredSize) throw std::length_error("run data over 65535 bytes");
  Bytes block;
  appendBlockHeader(block, BlockPrefix{}, declaredSize.value_or(static_cast<std::uint16_t>(runData.size())));
  block.insert(block.end(), runData.begin(), runData.end());
  slots_.push_back(Slot{std::move(block), 0, std::nullopt});
  return static_cast<int>(slots_.size());
}

int ArchiveWriter::addSprite(const Sprite& sprite, bool preferOne) {
  return addPic(encodeRuns(runsForSprite(sprite, preferOne)));
}

int ArchiveWriter::addEmptySlot(std::uint8_t b3) {
  slots_.push_back(Slot{std::nullopt, b3, std::nullopt});
  return static_cast<int>(slots_.size());
}

int ArchiveWriter::addCopyOf(int id) {
  const auto original = static_cast<std::size_t>(id - 1);
  if (original >= slots_.size()) throw std::out_of_range("no such pic");
  slots_.push_back(Slot{std::nullopt, 0, original});
  return static_cast<int>(slots_.size());
}

Bytes ArchiveWriter::bytes(bool reverseBlocks) const {
  if (slots_.size() > 0xFFFF) throw std::length_error("more than 65535 pics");
  const std::size_t blocksStart = tableEnd(slots_.size());

  // Lay the blocks out after the table and note where each one starts.
  std::vector<std::size_t> order(slots_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = reverseBlocks ? order.size() - 1 - i : i;
  std::vector<std::uint32_t> offsets(slots_.size(), 0);
  Bytes blocks;
  for (std::size_t i : order) {
    if (!slots_[i].block) continue;
    offsets[i] = static_cast<std::uint32_t>(blocksStart + blocks.size());
    if (offsets[i] >= offsetLimit) throw std::length_error("block offset past 24 bits");
    blocks.insert(blocks.end(), slots_[i].block->begin(), slots_[i].block->end());
  }

  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].copyOf) offsets[i] = offsets[*slots_[i].copyOf];
  }

  std::vector<TableEntry> entries;
  for (std::size_t i = 0; i < slots_.size(); ++i) entries.push_back(TableEntry{offsets[i], slots_[i].b3});
  Bytes out;
  appendArchiveHead(out, Signature{'V', 'S', 'P', 'R'}, entries);
  out.insert(out.end(), blocks.begin(), blocks.end());
  return out;
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) throw std::runtime_error("cannot write " + path.string());
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

ArchiveFile::ArchiveFile(const Bytes& bytes) : stream_(std::tmpfile()) {
  if (stream_ == nullptr) throw std::runtime_error("cannot create a temporary archive");
  if (std::fwrite(bytes.data(), 1, bytes.size(), stream_) != bytes.size() ||
      std::fseek(stream_, 0, SEEK_SET) != 0) {
    std::fclose(stream_);
    throw std::runtime_error("cannot write a temporary archive");
  }
}

namespace {

struct FailingSource {
  Bytes bytes;
  std::size_t failAt;
  std::size_t position = 0;
};

ssize_t readFailing(void* cookie, char* out, std::size_t size) {
  auto* source = static_cast<FailingSource*>(cookie);
  if (source->position >= source->failAt) return -1;
  const std::size_t end = std::min({source->position + size, source->failAt, source->bytes.size()});
  const std::size_t count = end > source->position ? end - source->position : 0;
  std::copy_n(source->bytes.begin() + static_cast<long>(source->position), count, out);
  source->position += count;
  return static_cast<ssize_t>(count);
}

int seekFailing(void* cookie, off64_t* offset, int whence) {
  auto* source = static_cast<FailingSource*>(cookie);
  const off64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? static_cast<off64_t>(source->position)
                                            : static_cast<off64_t>(source->bytes.size());
  if (base + *offset < 0) return -1;
  source->position = static_cast<std::size_t>(base + *offset);
  *offset = base + *offset;
  return 0;
}

int closeFailing(void* cookie) {
  delete static_cast<FailingSource*>(cookie);
  return 0;
}

}  // namespace

ArchiveFile::ArchiveFile(const Bytes& bytes, std::size_t failAt) {
  cookie_io_functions_t io{};
  io.read = readFailing;
  io.seek = seekFailing;
  io.close = closeFailing;
  auto* source = new FailingSource{bytes, failAt};
  stream_ = fopencookie(source, "r", io);
  if (stream_ == nullptr) {
    delete source;
    throw std::runtime_error("cannot open a failing archive");
  }
}

ArchiveFile::~ArchiveFile() { std::fclose(stream_); }

}  // namespace testsupport
