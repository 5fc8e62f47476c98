// Typed arguments of log records and their rendering as one text.
#include <cinttypes>
#include <cstdio>

#include "util/Trace.h"

namespace velmora::util {

namespace {

// Appends formatted text at *pos, keeping the buffer NUL-terminated and cut to size.
void Append(char* buffer, size_t size, size_t* pos, const char* fmt, ...) XEL_PRINTF(4, 5);
void Append(char* buffer, size_t size, size_t* pos, const char* fmt, ...) {
  if (*pos + 1 >= size) return;
  va_list args;
  va_start(args, fmt);
  int n = vsnprintf(buffer + *pos, size - *pos, fmt, args);
  va_end(args);
  if (n < 0) {
    buffer[*pos] = '\0';
    return;
  }
  *pos += static_cast<size_t>(n);
  if (*pos >= size) *pos = size - 1;
}

}  // namespace

void LogRecord::AddText(const char* text) {
  if (typed_count >= kMaxArgs) return;
  typed[typed_count++] = LogArg{LogArgText, text, 0};
}

void LogRecord::AddInt(int64_t value) {
  if (typed_count >= kMaxArgs) return;
  typed[typed_count++] = LogArg{LogArgInt, nullptr, value};
}

void LogRecord::AddHex(uint64_t value) {
  if (typed_count >= kMaxArgs) return;
  typed[typed_count++] = LogArg{LogArgHex, nullptr, static_cast<int64_t>(value)};
}

void LogRecord::AddBinary(const void* bytes, int size) {
  if (typed_count >= kMaxArgs || size < 0) return;
  typed[typed_count++] = LogArg{size, static_cast<const char*>(bytes), 0};
}

const char* LogRecord::ChannelPrefix(int channel) {
  static const char* const kPrefixes[] = {"Trace: ", "RTrace: ", "Event: ", "Stop: "};
  return channel >= 0 && channel < 4 ? kPrefixes[channel] : "";
}

size_t LogRecord::Render(char* buffer, size_t size, bool with_prefix, bool with_args) const {
  if (!buffer || size == 0) return 0;
  buffer[0] = '\0';
  size_t pos = 0;
  if (with_prefix) Append(buffer, size, &pos, "%s", ChannelPrefix(channel));

  int count = typed_count < kMaxArgs ? typed_count : kMaxArgs;
  int shown = 0;
  while (shown < count && typed[shown].tag >= -4095) ++shown;
  if (with_args && shown > 0) {
    Append(buffer, size, &pos, "{");
    for (int i = 0; i < shown; ++i) {
      const LogArg& arg = typed[i];
      if (i > 0) Append(buffer, size, &pos, " ");
      if (arg.tag == LogArgText)
        Append(buffer, size, &pos, "\"%s\"", arg.text ? arg.text : "");
      else if (arg.tag == LogArgInt)
        Append(buffer, size, &pos, "%" PRId64, arg.value);
      else if (arg.tag == LogArgHex)
        Append(buffer, size, &pos, "0x%" PRIx64, static_cast<uint64_t>(arg.value));
      else if (arg.tag >= 0)
        Append(buffer, size, &pos, "{%i Bytes}", arg.tag);
      else
        Append(buffer, size, &pos, "!");
    }
    Append(buffer, size, &pos, "} ");
  }

  if (pos + 1 < size && format) {
    int n;
    if (args) {
      va_list copy;
      va_copy(copy, *args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
      n = vsnprintf(buffer + pos, size - pos, format, copy);
#pragma GCC diagnostic pop
      va_end(copy);
    } else {
      // Without arguments the format is shown as it is: "%" must not read a missing argument.
      n = snprintf(buffer + pos, size - pos, "%s", format);
    }
    if (n > 0) pos += static_cast<size_t>(n);
    if (pos >= size) pos = size - 1;
  }
  return pos;
}

std::string LogRecord::Render(bool with_prefix, bool with_args) const {
  char buffer[2048];
  size_t n = Render(buffer, sizeof buffer, with_prefix, with_args);
  return std::string(buffer, n);
}

}  // namespace velmora::util
