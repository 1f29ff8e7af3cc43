#pragma once

// Writing a planned archive, checked: the layout vorna-pack chooses and why,
// the archive written in it and read back with the converter's decoder, and
// the summary line. vorna-pack writes to a temporary file beside the output;
// a dry run and the web page write to memory.

#include <cstdint>
#include <string>

#include "pack/pack_plan.h"

// Where an archive is written, one attempt at a time: an attempt that does
// not read back as planned is discarded and another layout written.
class ArchiveOutput {
 public:
  virtual ~ArchiveOutput() = default;
  // Starts an empty archive. False, with failure() set, when it cannot be.
  virtual bool start() = 0;
  // Appends bytes. False, with failure() set, on any failure (a full disk).
  virtual bool write(const void* data, std::size_t size) = 0;
  // The archive written, as read back: its first `held` bytes, every byte a
  // block can reach. False, with failure() set, when it cannot be read.
  virtual bool readBack(const std::uint8_t*& bytes, std::size_t& held) = 0;
  // Gives up the attempt.
  virtual void discard() = 0;
  // What went wrong, as the end of a line "vorna-pack: FILE: ...".
  const std::string& failure() const { return failure_; }
  void fail(const std::string& what) { failure_ = what; }

 protected:
  std::string failure_;
};

// An archive written to memory: all of it, or (`keep`) its first bytes only,
// as far as blocks reach; `size` counts every byte written.
class MemoryOutput : public ArchiveOutput {
 public:
  explicit MemoryOutput(std::size_t keep = SIZE_MAX) : keep_(keep) {}
  bool start() override;
  bool write(const void* data, std::size_t size) override;
  bool readBack(const std::uint8_t*& bytes, std::size_t& held) override;
  void discard() override;
  ArchiveBytes& bytes() { return bytes_; }
  std::uint64_t size() const { return size_; }

 private:
  std::size_t keep_;
  ArchiveBytes bytes_;
  std::uint64_t size_ = 0;
};

// Writes the planned archive through `output` and checks it. The layout is
// the base's bytes with the new blocks appended when the plan allows it and
// `compact` was not asked for; otherwise, or when the appended archive does
// not read back as planned, the compact one. `note` then says why compact was
// chosen, if it was not asked for. False, reported under `outputName`, when
// no archive was written: compact cannot address every block, the output
// failed, or (a bug) the compact archive does not read back as planned.
bool writeCheckedArchive(const PackPlan& plan, BaseArchive* base, bool compact, ArchiveOutput& output,
                         const std::string& outputName, const Report& report, std::string& note);

// How vorna-pack reports a bad input or a failure: "vorna-pack: FILE: WHAT".
std::string packErrorLine(const std::string& file, const std::string& what);

// The line a pack ends with: "vorna-pack: wrote FILE: N pics, C changed, K
// kept, A new", "would write" for a dry run, and " (compact layout: NOTE)"
// when compact was chosen without being asked for.
std::string packSummary(const std::string& outputName, const PackPlan& plan, const std::string& note,
                        bool dryRun);
