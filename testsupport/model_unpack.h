#pragma once

// A second, deliberately plain reading of a whole archive: what a run of
// vorna-unpack must print and draw for it, when every output can be written.
// It indexes the archive's bytes directly instead of going through stdio, so
// the sweeps and the fuzzer check the converter against an independent path.

#include <string>
#include <vector>

#include "testsupport/archive_writer.h"

namespace testsupport {

struct ModelPic {
  int id = 0;
  Sprite sprite;
  // The archive position just past the last byte the decoder reads for this
  // pic: where the stream stands after its run data.
  std::size_t end = 0;
  bool cut = false;  // the archive ended inside its block header or run data
};

struct ModelRun {
  std::string output;  // everything printed on standard output
  int exitStatus = 0;
  std::vector<ModelPic> pics;  // the listed pics, in id order
};

// With `doneLines` false the "Pics done" lines are left out, for callers that
// decode without writing files.
ModelRun modelUnpack(const Bytes& archive, bool doneLines = true);

}  // namespace testsupport
