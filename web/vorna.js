// vorna.html's page: what the user sees and does. Everything about the
// archive, the PNGs and the lines said of them is the WebAssembly core's
// (web/page_core.h, over the programs' own libraries): this script moves
// bytes in and out of it, draws what it returns, and shows its lines as they
// are.
'use strict';

const SIDE = 32; // a pic is 32 x 32
const FIELDS = 5; // int32 values a slot in pageSlots() (web/page_core.h)
const F_FLAGS = 0, F_FIRST = 1, F_DONE = 2, F_END = 3, F_RUNS = 4;
const LISTED = 1, MESSAGES = 2, REPLACED = 4, REFUSED = 8;
const LABEL = 15; // px under each pic for its id and marks
const GAP = 8;

const $ = (id) => document.getElementById(id);
const el = {
  openFile: $('open-file'), name: $('archive-name'), scale: $('scale'), hideEmpty: $('hide-empty'),
  goForm: $('go-form'), goId: $('go-id'), pngFiles: $('png-files'), cutoff: $('alpha-cutoff'),
  compact: $('compact'), save: $('save'), edits: $('edits'), selected: $('selected'), notes: $('notes'), fault: $('fault'),
  box: $('grid-box'), grid: $('grid'), scroller: $('scroller'), spacer: $('spacer'), welcome: $('welcome'),
  allLines: $('all-lines'), lines: $('lines'),
  view: $('pic-view'), picCanvas: $('pic-canvas'), picTitle: $('pic-title'), picFacts: $('pic-facts'),
  picLines: $('pic-lines'), picState: $('pic-state'), picPng: $('pic-png'), picFile: $('pic-file'),
  picUndo: $('pic-undo'), picPrev: $('pic-prev'), picNext: $('pic-next'), picClose: $('pic-close'),
};

// Work under way (reading files, drawing), which vornaPage.idle() waits for.
const pending = new Set();
function track(promise) {
  pending.add(promise);
  promise.finally(() => pending.delete(promise));
  return promise;
}

// --- The core -------------------------------------------------------------

let core = null; // the WebAssembly module, made anew after a fault
let coreReady = null;

function makeCore() {
  coreReady = createVornaCore({
    wasmBinary: wasmBytes(),
    onAbort: (what) => fault('The page\'s WebAssembly core stopped (' + describe(what) + ').'),
    print: () => {}, printErr: () => {},
  }).then((module) => {
    core = module;
    // Memory the page holds in the core belongs to the instance that gave it.
    grid.pointer = 0;
    grid.bytes = 0;
    return module;
  });
  return coreReady;
}

// The WebAssembly, which the page holds in base64 in a block no browser runs.
let wasmCache = null;
function wasmBytes() {
  if (!wasmCache) {
    const text = atob(document.getElementById('core-wasm').textContent.trim());
    wasmCache = new Uint8Array(text.length);
    for (let i = 0; i < text.length; ++i) wasmCache[i] = text.charCodeAt(i);
  }
  return wasmCache;
}

// Runs `work` with the core; a fault in it (an abort, memory run out) is
// shown, the archive closed and the core made again, so that the page goes
// on working.
async function withCore(what, work) {
  await coreReady;
  try {
    return work(core);
  } catch (error) {
    fault('The page could not finish ' + what + ': ' + describe(error) +
          '\nThe archive was closed to free its memory; open it again (or another) to go on.');
    resetArchive();
    core = null;
    await makeCore();
    return undefined;
  }
}

function describe(error) {
  // (Emscripten's hint to whoever builds the page is none of the user's.)
  const text = String(error && error.message || error).replace(/\s*Build with -s ASSERTIONS=1 for more info\.?/g, '');
  if (/^\(?Aborted\(\)\)?\.?$/.test(text.trim())) return 'it ran out of memory';
  if (/out of memory|enlarge memory|alloc|Aborted\(\)|OOM/i.test(text)) return 'it ran out of memory (' + text + ')';
  return text;
}

function fault(text) {
  el.fault.textContent = text;
  el.fault.hidden = false;
}

const heap = () => core.HEAPU8;
const int32s = (pointer, count) => new Int32Array(core.HEAPU8.buffer, pointer, count);

// A C string in the core's memory, freed by the caller.
function cString(text) {
  const bytes = new TextEncoder().encode(text);
  const pointer = core._malloc(bytes.length + 1);
  heap().set(bytes, pointer);
  heap()[pointer + bytes.length] = 0;
  return pointer;
}

function copyIn(bytes) {
  const pointer = core._malloc(Math.max(1, bytes.length));
  if (pointer === 0) throw new Error('out of memory for ' + bytes.length + ' bytes');
  heap().set(bytes, pointer);
  return pointer;
}

const notesOfCore = () => core.UTF8ToString(core._pageNotes());
const result = () => heap().slice(core._pageResult(), core._pageResult() + core._pageResultSize());

// --- The archive ----------------------------------------------------------

const state = {
  opened: 0, // archives opened so far
  open: false, fileName: '', count: 0, lines: [], headLines: 0, status: 0,
  shown: new Int32Array(0), // ids of the cells, in order
  selected: 0, // index into shown
  edits: 0,
  paintedAt: 0, // when the grid was last drawn (performance.now())
};

function slotsView() { return int32s(core._pageSlots(), (core._pageCount() + 1) * FIELDS); }

function resetArchive() {
  state.open = false;
  state.count = 0;
  state.lines = [];
  state.shown = new Int32Array(0);
  el.name.textContent = 'No archive open.';
  el.lines.textContent = '';
  el.save.disabled = true;
  el.edits.textContent = '';
  el.selected.textContent = '';
  closeView();
  layout();
}

// The most the core's memory holds (2 GiB), less room for the rest.
const LARGEST_ARCHIVE = 2 ** 31 - 64 * 2 ** 20;

async function openArchive(file) {
  el.fault.hidden = true;
  if (file.size > LARGEST_ARCHIVE) {
    fault(file.name + ' is ' + file.size + ' bytes: the page opens archives of up to ' + LARGEST_ARCHIVE +
          ' bytes (the blocks of any archive lie within its first 17 MB).');
    return;
  }
  let bytes;
  try {
    bytes = new Uint8Array(await file.arrayBuffer());
  } catch (error) {
    fault(file.name + ' cannot be read: ' + describe(error));
    return;
  }
  resetArchive();
  const opened = await withCore('opening ' + file.name, (module) => {
    const path = '/archive';
    module.FS.writeFile(path, bytes);
    bytes = null;
    const pointer = cString(path);
    const status = module._pageOpen(pointer);
    module._free(pointer);
    module.FS.unlink(path);
    // A new archive starts a new session: it takes the cutoff the field shows.
    if (status >= 0) setCutoff();
    return status;
  });
  if (opened === undefined) return;
  if (opened < 0) {
    fault(file.name + ' cannot be read.');
    return;
  }
  state.open = true;
  ++state.opened;
  state.fileName = file.name;
  state.status = opened;
  state.count = core._pageCount();
  const text = core.UTF8ToString(core._pageLines());
  state.lines = text.split('\n');
  state.lines.pop(); // after the last line's "\n"
  state.headLines = core._pageHeadLines();
  state.selected = 0;
  el.welcome.hidden = true;
  el.save.disabled = false;
  el.notes.textContent = '';
  el.goId.value = '';
  showNames();
  refreshEdits();
  showLines();
  layout();
  el.scroller.scrollTop = 0;
  paint();
  el.scroller.focus();
}

function showNames() {
  el.name.textContent = state.fileName + ': ' + (state.lines[0] || '') + ' — vorna-unpack would exit with status ' +
    state.status + '.';
}

// The lines vorna-unpack prints: the index pass's and every pic's
// messages; with "every line", its "Pics done" lines too.
function showLines() {
  if (!state.open) return;
  if (el.allLines.checked) {
    el.lines.textContent = state.lines.join('\n');
    return;
  }
  const kept = state.lines.slice(0, state.headLines);
  const slots = slotsView();
  const count = core._pageCount();
  for (let id = 1; id <= count; ++id) {
    const at = id * FIELDS;
    if (slots[at + F_FLAGS] & MESSAGES) {
      for (let line = slots[at + F_FIRST]; line < slots[at + F_DONE]; ++line) kept.push(state.lines[line]);
    }
  }
  el.lines.textContent = kept.join('\n');
}

function refreshEdits() {
  const slots = slotsView();
  let replaced = 0, refused = 0;
  for (let at = FIELDS; at < slots.length; at += FIELDS) {
    if (slots[at + F_FLAGS] & REPLACED) ++replaced;
    if (slots[at + F_FLAGS] & REFUSED) ++refused;
  }
  state.edits = replaced;
  el.edits.textContent = replaced === 0 ? 'No pic replaced.' :
    replaced + ' pic' + (replaced === 1 ? '' : 's') + ' replaced' + (refused ? ', ' + refused + ' refused' : '') + '.';
}

// --- The grid -------------------------------------------------------------

// A pic pixel is `step` of the screen's own pixels, a whole number, so that
// every pixel is drawn alike however many screen pixels a CSS pixel has
// (1.25 or 1.5 on many Windows screens): `side`, a pic's size in CSS pixels,
// is then 32 steps of the screen, about 32 times the scale.
const grid = { scale: 2, ratio: 1, step: 2, side: 64, cellW: 0, cellH: 0, columns: 1, rows: 0, pointer: 0, bytes: 0,
               atlas: null, width: 0, height: 0 };

function screenRatio() { return window.devicePixelRatio || 1; }

function layout() {
  if (state.open) {
    const slots = slotsView();
    const count = core._pageCount();
    const hide = el.hideEmpty.checked;
    const ids = [];
    for (let id = 1; id <= count; ++id) {
      if (!hide || slots[id * FIELDS + F_FLAGS] & (LISTED | REPLACED)) ids.push(id);
    }
    const previous = state.shown[state.selected];
    state.shown = Int32Array.from(ids);
    const found = previous ? state.shown.indexOf(previous) : -1;
    state.selected = found >= 0 ? found : Math.min(state.selected, Math.max(0, state.shown.length - 1));
  }
  measureCells();
  paint();
}

// The cells' size at this scale on this screen, and how many fit.
function measureCells() {
  grid.scale = Number(el.scale.value);
  grid.ratio = screenRatio();
  grid.step = Math.max(1, Math.round(grid.scale * grid.ratio));
  grid.side = SIDE * grid.step / grid.ratio;
  grid.cellW = grid.side + GAP;
  grid.cellH = grid.side + GAP + LABEL;
  grid.columns = Math.max(1, Math.floor(el.scroller.clientWidth / grid.cellW));
  grid.rows = Math.ceil(state.shown.length / grid.columns);
  el.spacer.style.height = grid.rows * grid.cellH + 'px';
}

let checkerboard = null;
function checks(context) {
  if (checkerboard && checkerboard.step === grid.step) return checkerboard.pattern;
  const square = 4 * Math.max(1, Math.floor(grid.step / 2));  // in screen pixels
  checkerboard = { step: grid.step, pattern: checksFor(context, square) };
  return checkerboard.pattern;
}

// Pixels of `ids` from the core, as an atlas `columns` pics wide.
function drawAtlas(ids, columns) {
  const rows = Math.ceil(ids.length / columns);
  const size = columns * rows * SIDE * SIDE * 4;
  if (size > grid.bytes) {
    if (grid.pointer) core._free(grid.pointer);
    grid.pointer = core._malloc(size);
    if (grid.pointer === 0) throw new Error('out of memory for the pics on screen');
    grid.bytes = size;
  }
  const idsPointer = copyIn(new Uint8Array(ids.buffer, ids.byteOffset, ids.byteLength));
  core._pageDraw(idsPointer, ids.length, columns, grid.pointer);
  core._free(idsPointer);
  const image = new ImageData(new Uint8ClampedArray(heap().buffer, grid.pointer, size), columns * SIDE,
                              rows * SIDE);
  if (!grid.atlas) grid.atlas = document.createElement('canvas');
  // Setting a canvas's size clears it and costs as much as a new one: only
  // when it must grow.
  if (grid.atlas.width < columns * SIDE || grid.atlas.height < rows * SIDE) {
    grid.atlas.width = Math.max(grid.atlas.width, columns * SIDE);
    grid.atlas.height = Math.max(grid.atlas.height, rows * SIDE);
  }
  grid.atlas.getContext('2d').putImageData(image, 0, 0);
  return grid.atlas;
}

let painting = false;
function paint() {
  if (painting) return;
  painting = true;
  track(new Promise((done) => requestAnimationFrame(() => {
    painting = false;
    withCore('drawing the pics', paintNow).then(done);
  })));
}

function paintNow() {
  const canvas = el.grid;
  const width = el.scroller.clientWidth, height = el.scroller.clientHeight;
  // In the screen's own pixels (a HiDPI screen, a zoomed page has several a
  // CSS pixel): a canvas the browser scales up would be smoothed. (Not
  // every change of screen is told to the page.)
  if (screenRatio() !== grid.ratio) measureCells();
  const ratio = grid.ratio;
  grid.width = width;
  grid.height = height;
  // A whole number of the screen's pixels, shown in as many: a canvas of 789
  // shown in a box of 788.75 would be resampled, and its rows shifted.
  const deviceWidth = Math.floor(width * ratio), deviceHeight = Math.floor(height * ratio);
  if (canvas.width !== deviceWidth || canvas.height !== deviceHeight) {
    canvas.width = deviceWidth;
    canvas.height = deviceHeight;
    canvas.style.width = deviceWidth / ratio + 'px';
    canvas.style.height = deviceHeight / ratio + 'px';
  }
  const context = canvas.getContext('2d');
  context.setTransform(ratio, 0, 0, ratio, 0, 0);
  context.clearRect(0, 0, width, height);
  state.paintedAt = performance.now();
  if (!state.open || state.shown.length === 0) return;
  const top = el.scroller.scrollTop;
  const firstRow = Math.floor(top / grid.cellH);
  const lastRow = Math.min(grid.rows - 1, Math.floor((top + height - 1) / grid.cellH));
  const first = firstRow * grid.columns;
  const ids = state.shown.subarray(first, Math.min(state.shown.length, (lastRow + 1) * grid.columns));
  const atlas = drawAtlas(ids, grid.columns);
  const slots = slotsView();
  const side = grid.side, deviceSide = SIDE * grid.step;
  // A place in CSS pixels, moved to the nearest of the screen's.
  const snap = (at) => Math.round(at * ratio) / ratio;
  context.imageSmoothingEnabled = false;
  context.font = '12px system-ui, sans-serif';
  context.textBaseline = 'top';
  for (let i = 0; i < ids.length; ++i) {
    const id = ids[i];
    const flags = slots[id * FIELDS + F_FLAGS];
    const x = snap((i % grid.columns) * grid.cellW + GAP / 2);
    const y = snap((firstRow + Math.floor(i / grid.columns)) * grid.cellH - top + GAP / 2);
    const filled = flags & (LISTED | REPLACED);
    if (filled) {
      // The pic itself in the screen's pixels, `step` of them a pixel.
      context.save();
      context.setTransform(1, 0, 0, 1, Math.round(x * ratio), Math.round(y * ratio));
      context.fillStyle = checks(context);
      context.fillRect(0, 0, deviceSide, deviceSide);
      context.drawImage(atlas, (i % grid.columns) * SIDE, Math.floor(i / grid.columns) * SIDE, SIDE, SIDE,
                        0, 0, deviceSide, deviceSide);
      context.restore();
    }
    frame(context, flags, x, y, side);
    let label = String(id);
    if (flags & MESSAGES) label += ' !';
    if (flags & REFUSED) label += ' X';
    else if (flags & REPLACED) label += ' E';
    context.fillStyle = filled ? '#111' : '#777';
    context.fillText(label, x, y + side + 2);
    if (first + i === state.selected) {
      context.lineWidth = 3;
      context.strokeStyle = '#1a5fb4';
      context.strokeRect(x - 3.5, y - 3.5, side + 7, side + LABEL + 5);
    }
  }
  state.paintedAt = performance.now();
}

// The frame says what is marked, by its pattern as well as its colour.
function frame(context, flags, x, y, side) {
  context.lineWidth = 1;
  context.setLineDash([]);
  if (flags & REFUSED) {
    context.strokeStyle = '#b00000';
    context.lineWidth = 2;
    context.beginPath();
    context.moveTo(x, y); context.lineTo(x + side, y + side);
    context.moveTo(x + side, y); context.lineTo(x, y + side);
    context.stroke();
  }
  if (flags & REPLACED) {
    context.lineWidth = 1;
    context.strokeStyle = '#0050a0';
    context.strokeRect(x - 0.5, y - 0.5, side + 1, side + 1);
    context.strokeRect(x - 2.5, y - 2.5, side + 5, side + 5);
  } else if (flags & MESSAGES) {
    context.strokeStyle = '#8a5a00';
    context.lineWidth = 2;
    context.setLineDash([4, 3]);
    context.strokeRect(x - 1, y - 1, side + 2, side + 2);
    context.setLineDash([]);
  } else if (!(flags & LISTED)) {
    context.strokeStyle = '#bbb';
    context.strokeRect(x + 0.5, y + 0.5, side - 1, side - 1);
  }
}

function select(index, reveal = true) {
  if (state.shown.length === 0) return;
  state.selected = Math.max(0, Math.min(state.shown.length - 1, index));
  // Said aloud by screen readers, which cannot see the canvas.
  const id = state.shown[state.selected];
  const flags = slotsView()[id * FIELDS + F_FLAGS];
  el.selected.textContent = 'Pic ' + id + (flags & LISTED ? '' : ', empty slot') +
    (flags & MESSAGES ? ', with messages' : '') + (flags & REFUSED ? ', PNG refused' : flags & REPLACED ? ', replaced' : '') +
    ' (Enter opens it).';
  if (reveal) {
    const row = Math.floor(state.selected / grid.columns);
    const top = row * grid.cellH, bottom = top + grid.cellH;
    if (top < el.scroller.scrollTop) el.scroller.scrollTop = top;
    else if (bottom > el.scroller.scrollTop + el.scroller.clientHeight) el.scroller.scrollTop = bottom - el.scroller.clientHeight;
  }
  paint();
  if (!el.view.hidden) showView();
}

function indexAt(clientX, clientY) {
  const box = el.scroller.getBoundingClientRect();
  const column = Math.floor((clientX - box.left) / grid.cellW);
  const row = Math.floor((clientY - box.top + el.scroller.scrollTop) / grid.cellH);
  if (column < 0 || column >= grid.columns || row < 0) return -1;
  const index = row * grid.columns + column;
  return index < state.shown.length ? index : -1;
}

el.scroller.addEventListener('scroll', paint);
// The grid's box changes size with the window, the zoom and the log under
// it: its columns and canvas follow.
function screenChanged() {
  layout();
  if (!el.view.hidden) showView();
}
window.addEventListener('resize', screenChanged);
new ResizeObserver(() => {
  // (Told also of a change the last drawing already followed.)
  if (el.scroller.clientWidth === grid.width && el.scroller.clientHeight === grid.height) return;
  measureCells();
  paint();
}).observe(el.scroller);
// A window moved to a screen of another pixel density changes no size.
(function watchPixelRatio() {
  matchMedia('(resolution: ' + (window.devicePixelRatio || 1) + 'dppx)')
    .addEventListener('change', () => { screenChanged(); watchPixelRatio(); }, { once: true });
})();
el.scale.addEventListener('change', () => { layout(); select(state.selected); });
el.hideEmpty.addEventListener('change', () => { el.notes.textContent = ''; layout(); select(state.selected); });
el.allLines.addEventListener('change', showLines);
el.scroller.addEventListener('click', (event) => {
  const index = indexAt(event.clientX, event.clientY);
  if (index >= 0) select(index, false);
});
el.scroller.addEventListener('dblclick', (event) => {
  const index = indexAt(event.clientX, event.clientY);
  if (index >= 0) { select(index, false); showView(); }
});
el.scroller.addEventListener('keydown', (event) => {
  if (!state.open) return;
  const page = grid.columns * Math.max(1, Math.floor(el.scroller.clientHeight / grid.cellH));
  const moves = {
    ArrowLeft: -1, ArrowRight: 1, ArrowUp: -grid.columns, ArrowDown: grid.columns, PageUp: -page, PageDown: page,
  };
  if (event.key in moves) select(state.selected + moves[event.key]);
  else if (event.key === 'Home') select(0);
  else if (event.key === 'End') select(state.shown.length - 1);
  else if (event.key === 'Enter') showView();
  else return;
  event.preventDefault();
});

el.goForm.addEventListener('submit', (event) => {
  event.preventDefault();
  if (!state.open) return;
  if (el.goId.value.trim() === '') {
    el.notes.textContent = 'Type the number of a pic to go to it.';
    return;
  }
  const id = Number(el.goId.value);
  const index = state.shown.indexOf(id);
  if (index >= 0) {
    el.notes.textContent = '';
    select(index);
    el.scroller.focus();
  } else {
    el.notes.textContent = id >= 1 && id <= core._pageCount() ? 'Pic ' + id + ' is an empty slot, hidden.' :
      'There is no slot ' + el.goId.value + ': the archive has slots 1 to ' + core._pageCount() + '.';
  }
});

// --- One pic --------------------------------------------------------------

const selectedId = () => state.shown[state.selected] || 0;

function showView() {
  const id = selectedId();
  if (!id) return;
  track(withCore('showing pic ' + id, () => {
    const slots = slotsView();
    const flags = slots[id * FIELDS + F_FLAGS];
    el.picTitle.textContent = 'Pic ' + id;
    const facts = [];
    if (flags & LISTED) {
      const scratch = core._malloc(16);
      core._pageBlock(id, scratch, scratch + 4, scratch + 8);
      const offset = int32s(scratch, 2);
      const header = heap().slice(scratch + 8, scratch + 13);
      const hex = (byte) => byte.toString(16).padStart(2, '0').toUpperCase();
      facts.push(['Block offset', offset[0] + ' (0x' + offset[0].toString(16).toUpperCase() + ')'],
                 ['Data size', offset[1] + ' bytes'],
                 ['Prefix bytes', Array.from(header.slice(0, 3), hex).join(' ')],
                 ['Runs', String(slots[id * FIELDS + F_RUNS])]);
      core._free(scratch);
    } else {
      facts.push(['Slot', id <= state.count || id <= core._pageCount() ? 'empty' : 'new']);
    }
    el.picFacts.replaceChildren(...facts.flatMap(([term, value]) => {
      const dt = document.createElement('dt'), dd = document.createElement('dd');
      dt.textContent = term;
      dd.textContent = value;
      return [dt, dd];
    }));
    const lines = [];
    if (flags & LISTED) {
      for (let line = slots[id * FIELDS + F_FIRST]; line < slots[id * FIELDS + F_END]; ++line) lines.push(state.lines[line]);
    }
    el.picLines.textContent = lines.join('\n');
    const name = core.UTF8ToString(core._pageReplacementName(id));
    const refusal = core.UTF8ToString(core._pageRefusal(id));
    el.picState.textContent = !name ? (flags & LISTED ? 'As in the opened archive.' : '') :
      refusal ? 'Replaced by ' + name + ', which is refused: ' + refusal : 'Replaced by ' + name + '.';
    el.picPng.textContent = 'Download ' + id + '.png';
    el.picPng.disabled = !(flags & (LISTED | REPLACED)) || refusal !== '' && !(flags & LISTED);
    el.picUndo.disabled = !name;
    const atlas = drawAtlas(Int32Array.of(id), 1);
    // About 10 CSS pixels a pic pixel, a whole number of the screen's.
    const ratio = screenRatio(), step = Math.max(1, Math.round(10 * ratio)), size = SIDE * step;
    if (el.picCanvas.width !== size) {
      el.picCanvas.width = el.picCanvas.height = size;
      el.picCanvas.style.width = el.picCanvas.style.height = size / ratio + 'px';
    }
    const context = el.picCanvas.getContext('2d');
    context.imageSmoothingEnabled = false;
    context.clearRect(0, 0, size, size);
    context.fillStyle = checksFor(context, step);
    context.fillRect(0, 0, size, size);
    if (flags & (LISTED | REPLACED)) context.drawImage(atlas, 0, 0, SIDE, SIDE, 0, 0, size, size);
  }));
  const wasHidden = el.view.hidden;
  el.view.hidden = false;
  if (wasHidden) el.picClose.focus();
}

function checksFor(context, square) {
  const tile = document.createElement('canvas');
  tile.width = tile.height = 2 * square;
  const tc = tile.getContext('2d');
  tc.fillStyle = '#ffffff';
  tc.fillRect(0, 0, 2 * square, 2 * square);
  tc.fillStyle = '#c8c8c8';
  tc.fillRect(0, 0, square, square);
  tc.fillRect(square, square, square, square);
  return context.createPattern(tile, 'repeat');
}

function closeView() {
  if (el.view.hidden) return;
  el.view.hidden = true;
  el.scroller.focus();
}

el.picClose.addEventListener('click', closeView);
el.picPrev.addEventListener('click', () => select(state.selected - 1));
el.picNext.addEventListener('click', () => select(state.selected + 1));
el.view.addEventListener('keydown', (event) => {
  if (event.key === 'Escape') closeView();
  else if (event.key === 'ArrowLeft') select(state.selected - 1);
  else if (event.key === 'ArrowRight') select(state.selected + 1);
  else return;
  event.preventDefault();
});
el.picPng.addEventListener('click', () => {
  const id = selectedId();
  track(withCore('encoding ' + id + '.png', () => {
    if (core._pagePng(id)) download(result(), id + '.png', 'image/png');
    core._pageDropResult();
  }));
});
el.picUndo.addEventListener('click', () => {
  const id = selectedId();
  track(withCore('undoing pic ' + id, () => core._pageUndo(id)).then(afterEdit));
});
el.picFile.addEventListener('change', () => {
  const file = el.picFile.files[0];
  el.picFile.value = '';
  if (file) track(replaceOne(selectedId(), file));
});

// --- Replacing and saving -------------------------------------------------

function afterEdit() {
  if (!state.open) return;
  refreshEdits();
  layout();
  if (!el.view.hidden) showView();
}

async function replaceOne(id, file) {
  const bytes = new Uint8Array(await file.arrayBuffer());
  await withCore('reading ' + file.name, () => {
    el.notes.textContent = takePng(id, file.name, bytes) ? 'Pic ' + id + ' replaced by ' + file.name + '.' :
      notesOfCore();
  });
  afterEdit();
}

function takePng(id, name, bytes) {
  const namePointer = cString(name);
  const data = copyIn(bytes);
  const accepted = core._pageReplace(id, namePointer, data, bytes.length);
  core._free(data);
  core._free(namePointer);
  return accepted;
}

// Dropped or chosen PNGs, each to the pic its name says, as vorna-pack takes
// a directory's files.
async function replaceMany(files) {
  if (!state.open) {
    el.notes.textContent = 'Open an archive first: the PNGs replace its pics.';
    return;
  }
  const contents = await Promise.all(files.map((file) => file.arrayBuffer().then((buffer) => new Uint8Array(buffer))));
  await withCore('reading the PNGs', () => {
    const names = files.map((file) => file.name + '\0').join('');
    const namesPointer = cString(names);
    const ids = core._malloc(4 * Math.max(1, files.length));
    const good = core._pageSortNames(namesPointer, files.length, ids);
    const taken = Array.from(int32s(ids, files.length));
    core._free(ids);
    core._free(namesPointer);
    let lines = notesOfCore();
    if (!good) {
      el.notes.textContent = lines + 'No file of this set was taken.';
      return;
    }
    let count = 0;
    files.forEach((file, i) => {
      if (taken[i] === 0) return;
      if (!takePng(taken[i], file.name, contents[i])) lines += notesOfCore();
      ++count;
    });
    el.notes.textContent = lines + count + ' PNG' + (count === 1 ? '' : 's') + ' taken.';
  });
  afterEdit();
}

// Gives the core the cutoff the field shows, which takes it as vorna-pack's
// --alpha-cutoff: one it would refuse is said so, and no archive is saved
// while the field has it.
function setCutoff() {
  const pointer = cString(el.cutoff.value);
  const refused = core._pageSetAlphaCutoff(pointer);
  core._free(pointer);
  el.cutoff.setAttribute('aria-invalid', refused < 0 ? 'true' : 'false');
  return refused;
}

el.cutoff.addEventListener('change', () => {
  if (!state.open) return; // taken when an archive is opened
  track(withCore('applying the alpha cutoff', () => {
    setCutoff();
    el.notes.textContent = notesOfCore();
  }).then(afterEdit));
});

el.save.addEventListener('click', () => {
  track(withCore('writing vorna.spr', () => {
    const saved = core._pageSave(el.compact.checked);
    el.notes.textContent = notesOfCore();
    if (saved) download(result(), 'vorna.spr', 'application/octet-stream');
    core._pageDropResult();
  }));
});

function download(bytes, name, type) {
  const url = URL.createObjectURL(new Blob([bytes], { type }));
  const link = document.createElement('a');
  link.href = url;
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}

// --- Files in -------------------------------------------------------------

el.openFile.addEventListener('change', () => {
  const file = el.openFile.files[0];
  el.openFile.value = '';
  if (file) track(openArchive(file));
});
el.pngFiles.addEventListener('change', () => {
  const files = Array.from(el.pngFiles.files);
  el.pngFiles.value = '';
  if (files.length) track(replaceMany(files));
});

document.addEventListener('dragover', (event) => { event.preventDefault(); });
document.addEventListener('drop', (event) => {
  event.preventDefault();
  const files = Array.from(event.dataTransfer ? event.dataTransfer.files : []);
  if (files.length === 0) return;
  // One file onto a pic replaces it, whatever its name.
  if (files.length === 1 && state.open) {
    if (!el.view.hidden && el.view.contains(event.target)) { track(replaceOne(selectedId(), files[0])); return; }
    const index = el.box.contains(event.target) ? indexAt(event.clientX, event.clientY) : -1;
    if (index >= 0) { select(index, false); track(replaceOne(state.shown[index], files[0])); return; }
  }
  // Elsewhere a file not named *.png is an archive to open; PNGs go to the
  // pics their names say.
  if (files.length === 1 && !namedAsPng(files[0].name)) track(openArchive(files[0]));
  else if (files.length === 1 && !state.open) track(openUnlessPng(files[0]));
  else track(replaceMany(files));
});

// With no archive open, one file named like a PNG that does not start as
// one is an archive under an odd name. (One that cannot be read goes to
// openArchive, which says so.)
async function openUnlessPng(file) {
  let head;
  try { head = new Uint8Array(await file.slice(0, 8).arrayBuffer()); } catch { return openArchive(file); }
  const data = copyIn(head);
  const png = core._pageStartsAsPng(data, head.length);
  core._free(data);
  return png ? replaceMany([file]) : openArchive(file);
}

function namedAsPng(name) {
  if (!core) return false;
  const pointer = cString(name);
  const png = core._pageNamedPng(pointer);
  core._free(pointer);
  return png;
}

// What the tests and the benchmark read: when the page is done with what
// it was asked, which slots hold pics, the core's own pixels of pics (not a
// canvas's, which premultiplies alpha), and the size of the core's memory.
window.vornaPage = {
  idle: async () => {
    while (pending.size) await Promise.allSettled([...pending]);
    await coreReady;
    await new Promise((done) => requestAnimationFrame(() => setTimeout(done, 0)));
    return true;
  },
  listed: () => {
    const slots = slotsView(), ids = [];
    for (let id = 1; id <= core._pageCount(); ++id) if (slots[id * FIELDS + F_FLAGS] & LISTED) ids.push(id);
    return ids;
  },
  pixels: (ids) => withCore('reading pixels', () => {
    const pointer = core._malloc(4 * SIDE * SIDE);
    const all = ids.map((id) => {
      core._pagePixels(id, pointer);
      return Array.from(int32s(pointer, SIDE * SIDE));
    });
    core._free(pointer);
    return all;
  }),
  heapBytes: () => core.HEAPU8.length,
  memoryInUse: () => core._pageMemoryInUse(),
  state, grid,
};

makeCore().then(() => { layout(); }, (error) => fault('The page\'s WebAssembly core cannot start: ' + describe(error)));
