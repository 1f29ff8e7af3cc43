#pragma once

// The archive stream: vorna.spr opened for binary reading, positioned by
// absolute seeks and read a byte at a time through stdio's buffer. Every read
// goes through readBytes, which tells a complete read apart from one cut short
// by the end of the file or by a read error, so that nothing is ever computed
// from the end-of-file marker.

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum class ReadStatus { ok, end, error };

// Opens `path`, which must be a regular file once symlinks are followed, for
// binary reading: a descriptor, or -1 with errno set. What is no regular
// file (a directory, a FIFO, a socket, a device) is refused by a look, before
// any open, with `notRegular` set: opening a FIFO wakes a writer waiting on
// it, and opening a device can do things. On Linux the file looked at is the
// one opened, whatever takes its name in between; elsewhere, one put in its
// place is refused once opened, without waiting.
int openRegularFile(const char* path, bool& notRegular);

// Opens `path` for reading; null when it is missing, unreadable, or not a
// regular file once symlinks are followed (a directory, a FIFO, a socket, a
// device), which is never opened.
std::FILE* openArchive(const char* path);
// The same, with `notRegular` set when it is refused as no regular file.
std::FILE* openArchive(const char* path, bool& notRegular);

// Positions the archive `offset` bytes from its start. Seeking past the end is
// fine: the next read reports ReadStatus::end.
ReadStatus seekTo(std::FILE* archive, long offset);

// Reads `count` bytes into `out`. On a short read the bytes before the cut are
// stored and the rest of `out` is left as it was.
ReadStatus readBytes(std::FILE* archive, std::uint8_t* out, std::size_t count);

// Moves on past `count` bytes without reading them: ReadStatus::end, with the
// stream at the end, when the file holds fewer than that from here on (told
// by its length, so a block cut short is still told from a whole one).
ReadStatus skipBytes(std::FILE* archive, std::size_t count);

// Two little-endian bytes as an integer, 0..65535.
inline int le16(const std::uint8_t* bytes) { return bytes[0] | bytes[1] << 8; }

// Where the runs of a pic are read from: the archive stream (vorna-unpack) or
// an archive's bytes in memory (MemorySource, archive/archive_layout.h). Both answer
// alike for the same bytes, so a pic reads the same whichever a program uses.
struct StreamSource {
  std::FILE* file;
  ReadStatus seek(std::uint32_t offset) const { return seekTo(file, static_cast<long>(offset)); }
  ReadStatus read(std::uint8_t* out, std::size_t count) const { return readBytes(file, out, count); }
  ReadStatus skip(std::size_t count) const { return skipBytes(file, count); }
};

// The line for a read that came up short. Prints "Unable to read vorna.spr!"
// for a read error and `endLine` (a printf format taking `id`) for the end of
// the file.
void reportShortRead(ReadStatus status, const char* endLine, int id);

// The same for reads that belong to pic `id`: its block header or run data.
void reportShortPic(ReadStatus status, int id);
