#include "pack/pack_archive.h"

#include <cerrno>
#include <cstring>

bool MemoryOutput::start() {
  bytes_.clear();
  size_ = 0;
  return true;
}

bool MemoryOutput::write(const void* data, std::size_t size) {
  const auto* from = static_cast<const std::uint8_t*>(data);
  const std::size_t room = bytes_.size() < keep_ ? keep_ - bytes_.size() : 0;
  bytes_.insert(bytes_.end(), from, from + std::min(size, room));
  size_ += size;
  return true;
}

bool MemoryOutput::readBack(const std::uint8_t*& bytes, std::size_t& held) {
  bytes = bytes_.data();
  held = bytes_.size();
  return true;
}

void MemoryOutput::discard() { start(); }

namespace {

// Writes one attempt in `placement`; true when it reads back as planned.
// `written` is false when the output itself failed.
bool writeAndCheck(const PackPlan& plan, BaseArchive* base, const Placement& placement, bool appended,
                   ArchiveOutput& output, bool& written) {
  written = false;
  if (!output.start()) return false;
  const Sink sink = [&output](const void* data, std::size_t size) { return output.write(data, size); };
  written =
      appended ? writeAppended(plan, placement, *base, sink) : writeCompact(plan, placement, base, sink);
  // The output took every byte given it; what failed is the base's tail,
  // read as it is copied (cut short, or unreadable, since it was opened).
  if (!written && output.failure().empty()) {
    output.fail("cannot be written: the base could not be read to its end");
  }
  const std::uint8_t* bytes = nullptr;
  std::size_t held = 0;
  written = written && output.readBack(bytes, held);
  return written && verifyPack(bytes, held, plan);
}

}  // namespace

bool writeCheckedArchive(const PackPlan& plan, BaseArchive* base, bool compact, ArchiveOutput& output,
                         const std::string& outputName, const Report& report, std::string& note) {
  note.clear();
  bool written = false;
  if (plan.appendable && !compact) {
    if (const std::optional<Placement> appended = placeAppended(plan, *base)) {
      if (writeAndCheck(plan, base, *appended, true, output, written)) return true;
      output.discard();
      if (!written) {
        report(outputName, output.failure());
        return false;
      }
      note = "a kept block reads bytes that appending would change";
    } else {
      note = "an appended block would start past the 24-bit offsets";
    }
  } else if (base != nullptr && !compact) {
    note = plan.countGrew ? "the pic count grew past the base's" : "the base's header or table is cut short";
  }
  const Placement placement = placeCompact(plan);
  if (placement.misfit != 0) {
    report(outputName, "pic " + std::to_string(placement.misfit) +
                           " does not fit: blocks must start within the first 16 MiB (24-bit offsets)");
    return false;
  }
  if (writeAndCheck(plan, base, placement, false, output, written)) return true;
  output.discard();
  report(outputName,
         written ? "internal error: the archive written does not read back as planned; nothing written"
                 : output.failure());
  return false;
}

std::string packErrorLine(const std::string& file, const std::string& what) {
  return "vorna-pack: " + file + ": " + what + "\n";
}

std::string packSummary(const std::string& outputName, const PackPlan& plan, const std::string& note,
                        bool dryRun) {
  return std::string("vorna-pack: ") + (dryRun ? "would write " : "wrote ") + outputName + ": " +
         std::to_string(plan.changed + plan.kept + plan.added) + " pics, " + std::to_string(plan.changed) +
         " changed, " + std::to_string(plan.kept) + " kept, " + std::to_string(plan.added) + " new" +
         (note.empty() ? "" : " (compact layout: " + note + ")") + "\n";
}
