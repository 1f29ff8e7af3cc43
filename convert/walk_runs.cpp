#include "convert/walk_runs.h"

#include "archive/messages.h"

RunsOutcome drawRuns(PicEntry& entry, std::FILE* archive, PicPixels& pixels) {
  StreamSource source{archive};
  return drawRuns(entry, source, pixels);
}

void reportPicRuns(const RunsOutcome& outcome, int id) {
  if (outcome.warningAt >= 0) say("warining: i is %i in %i\n", outcome.warningAt, id);
  if (outcome.status != ReadStatus::ok) reportShortPic(outcome.status, id);
}
