#pragma once

// A second, deliberately plain reading of a whole archive: what a run of
// vorna-unpack must print and draw for it, when every output can be written.
// It indexes the archive's bytes directly instead of going through stdio, so
// the sweeps and the fuzzer check the converter against an independent path.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "testsupport/archive_writer.h"

namespace testsupport {

struct ModelPic {
  int id = 0;
  Sprite sprite;
  // For a pic read whole, the archive position just past its run data: where
  // the stream stands after decoding it.
  std::size_t end = 0;
  bool cut = false;  // its block header or run data could not be read whole
};

struct ModelRun {
  std::string output;  // everything printed on standard output
  int exitStatus = 0;
  std::vector<ModelPic> pics;  // the listed pics, in id order
};

inline constexpr std::size_t neverFails = SIZE_MAX;

// With `doneLines` false the "Pics done" lines are left out, for callers that
// decode without writing files. Bytes from position `failAt` on cannot be
// read, as with ArchiveFile(bytes, failAt): a read that needs one fails with a
// read error instead of meeting the end of the file.
ModelRun modelUnpack(const Bytes& archive, bool doneLines = true, std::size_t failAt = neverFails);

// A third reading, the plainest a reader of the format could take: each run
// is t transparent pixels, then its c colours, and the runs stop at the data
// size. The sprite of slot `id`, or nullopt when the slot is empty or its
// block does not lie whole in the archive.
std::optional<Sprite> readPlainly(const Bytes& archive, int id);

}  // namespace testsupport
