#pragma once

// vorna-unpack's run over an open archive, without the files: the index pass,
// then every listed pic in id order, its block header read and the pic handed
// to a converter. vorna-unpack's converter writes N.png; the web page's keeps
// what it needs to show the pic. Both say the same lines in the same order.

#include <cstdio>
#include <utility>

#include "archive/pic_entry.h"
#include "archive/read_index.h"

enum class PicResult {
  done,             // written; "Pics done: N" said
  doneFromCutData,  // written, but the archive ended inside the pic's run data
  unwritable,       // nothing left behind; "Unable to write N.png!" said
};

// The lines a converter says for pic `id` once it is written, or when it
// cannot be.
void sayPicDone(int id);
void sayPicUnwritable(int id);

// The index pass and the conversion pass: `convert(entry)` is called for each
// listed pic, in id order, just after its block header is read (the archive
// then stands at its run data), and says the pic's lines. `indexed(status)`
// is called between the two passes, so that a front end that keeps the lines
// can tell the index's lines from the first pic's. Returns the exit status: 0
// when every listed pic was written from a whole archive, else 2.
template <typename Convert, typename Indexed>
int unpackArchive(std::FILE* archive, PicList& pics, Convert&& convert, Indexed&& indexed) {
  const IndexStatus index = readIndex(archive, pics);
  indexed(index);
  bool clean = index == IndexStatus::whole;
  if (index != IndexStatus::cutInHeader) {
    // In id order, whatever order the blocks have in the file.
    for (PicEntry& entry : pics) {
      if (readPicHeader(entry, archive) != ReadStatus::ok) clean = false;
      if (convert(entry) != PicResult::done) clean = false;
    }
  }
  return clean ? 0 : 2;
}

template <typename Convert>
int unpackArchive(std::FILE* archive, PicList& pics, Convert&& convert) {
  return unpackArchive(archive, pics, std::forward<Convert>(convert), [](IndexStatus) {});
}
