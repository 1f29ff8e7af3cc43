#pragma once

// The web page's core: the archive opened in the page, its pics and the
// lines vorna-unpack says of them, the PNGs dropped on it, and the archive
// saved from them. The page (web/vorna.js) calls these functions through the
// WebAssembly module's exports and reads what they return straight from the
// module's memory. Every rule (messages, decoding, PNG import, layouts) is
// the libraries' own: this keeps the page's state and hands bytes across.
//
// Calls are one at a time, from the page's one thread. Text is UTF-8,
// NUL-terminated, and stays valid until the next call that changes it.

#include <cstddef>
#include <cstdint>

extern "C" {

// What the page reads of each slot: pageSlots() holds pageSlotFields int32
// values a slot, for ids 0 (unused) to pageCount().
enum PageSlotField : std::int32_t {
  slotFlags,      // PageSlotFlag bits
  slotFirstLine,  // the pic's lines: its messages from here...
  slotDoneLine,   // ...to here, then its last line ("Pics done")
  slotEndLine,    // one past its last line
  slotRuns,       // run headers its block holds, read whole
  pageSlotFields
};
enum PageSlotFlag : std::int32_t {
  slotListed = 1,       // the table lists a pic in this slot
  slotHasMessages = 2,  // something besides the done line is said of it
  slotReplaced = 4,     // a PNG was dropped for it
  slotRefused = 8,      // ...and it is refused at the present alpha cutoff
};

// Opens the archive at `path` (in the module's in-memory file system) in
// place of the one open before, and runs vorna-unpack's passes over it,
// keeping every line. The exit status vorna-unpack would give (0 or 2), or
// -1 when the file cannot be read at all.
int pageOpen(const char* path);
// Releases the open archive and everything kept of it.
void pageClose();

// Slots: the table's count field, or the highest id a PNG was dropped for.
int pageCount();
const std::int32_t* pageSlots();
// Every line said, back to back, each ending in "\n": what vorna-unpack
// prints for the archive. The first pageHeadLines() are the index pass's.
const char* pageLines();
int pageLineCount();
int pageHeadLines();

// Pic `id`'s block as read: offset, data size, the five header bytes. False
// for a slot without a pic.
bool pageBlock(int id, std::int32_t* offset, std::int32_t* size, std::uint8_t* header);

// Draws `count` slots into an RGBA atlas `columns` pics wide (32 x 32 each,
// row by row): what the page shows of each, its replacement if one is
// taken, else what vorna-unpack draws. Opaque pixels have alpha 255, every
// other pixel is 0, 0, 0, 0. Ids that are not slots draw nothing.
void pageDraw(const std::int32_t* ids, int count, int columns, std::uint8_t* rgba);
// The core's own pixels of what pageDraw shows for `id`: 1,024 values,
// 0xRRGGBB or -1 for transparent.
void pagePixels(int id, std::int32_t* pixels);

// The PNG vorna-unpack writes for what pic `id` shows now, into the result.
// False when gd fails.
bool pagePng(int id);

// Sorts dropped file names as vorna-pack sorts a directory's: `names` holds
// `count` names, each ending in NUL; `ids` gets each one's pic id, or 0. The
// lines said are in the notes. False when a name is refused (then no file of
// the set should be taken).
bool pageSortNames(const char* names, int count, std::int32_t* ids);
// Whether vorna-pack takes `name` for a PNG's (a pic's or not), as opposed
// to a name it passes over in silence.
bool pageNamedPng(const char* name);
// Whether the bytes start as every PNG does.
bool pageStartsAsPng(const std::uint8_t* data, std::size_t size);
// Takes the PNG `name` (`size` bytes, id 1..65535) as pic `id`'s replacement, in place of
// any before, as a file put in vorna-pack's directory: true when it is
// accepted at the present alpha cutoff. A refused one is kept too, marked,
// with vorna-pack's line in the notes: the pic shows its block, and saving
// fails, as vorna-pack would, until it is undone or the cutoff admits it.
bool pageReplace(int id, const char* name, const std::uint8_t* data, std::size_t size);
// Puts pic `id` back to the opened archive's block.
void pageUndo(int id);
// The file name of pic `id`'s replacement, or "".
const char* pageReplacementName(int id);
// The alpha cutoff as its field has it, taken as vorna-pack's --alpha-cutoff
// takes it ("" for none): every replacement is taken again; the notes hold
// the refusals. The number of replacements refused, or -1 for a text that
// vorna-pack would refuse: the notes say so, the replacements are taken as
// without a cutoff, and saving fails until the cutoff is mended.
int pageSetAlphaCutoff(const char* text);
// The replacement's refusal line, or "".
const char* pageRefusal(int id);

// Writes the archive vorna-pack would write over the opened one with the
// replacements taken as its PNGs (--compact when `compact`), checked as it
// checks it, into the result: true then, with its summary line in the notes.
// False, with vorna-pack's error lines in the notes, when nothing is written.
bool pageSave(bool compact);

// Bytes of the core's memory in use: what was opened and not released yet.
std::size_t pageMemoryInUse();

// The last PNG or archive made, and the lines said by the last call.
const std::uint8_t* pageResult();
std::size_t pageResultSize();
void pageDropResult();
const char* pageNotes();
}
