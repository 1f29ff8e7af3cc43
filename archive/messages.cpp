#include "archive/messages.h"

#include <array>
#include <cstdarg>
#include <cstdio>

namespace {

LineSink currentSink = nullptr;
void* currentContext = nullptr;

}  // namespace

// printf's own kind of function, so that the compiler checks every line's
// format against its arguments (the format attribute on its declaration).
void say(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  std::va_list arguments;
  va_start(arguments, format);
  if (currentSink == nullptr) {
    std::vprintf(format, arguments);
  } else {
    // Every line is short: a fixed text and at most two numbers.
    std::array<char, 256> text{};
    std::vsnprintf(text.data(), text.size(), format, arguments);
    currentSink(text.data(), currentContext);
  }
  va_end(arguments);
}

void setLineSink(LineSink sink, void* context) {
  currentSink = sink;
  currentContext = context;
}
