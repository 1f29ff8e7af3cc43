#pragma once

// Every line vorna-unpack prints goes through say(): to standard output, or,
// where a front end has set a sink of its own (the web page keeps the lines
// of an archive to show them), to that sink, in the same words and order.

// printf's format and arguments; the line ends in its format's "\n".
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...);

// Where said lines go from now on: `sink` gets each line's text with
// `context`; a null sink is standard output again.
using LineSink = void (*)(const char* text, void* context);
void setLineSink(LineSink sink, void* context);
