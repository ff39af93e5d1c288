#pragma once
// Diagnostic trace: the debugger output channel of the tool. Never shown to the user.
// Silent unless TARVISEL_TRACE is set: "1" or "stderr" writes to standard error, any other
// value names a file that the lines are appended to.
#include <functional>
#include <string>
#include <string_view>

namespace trace {

void Write(std::string_view text);
void Printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Tests capture the trace through this hook; an empty function restores the default sink.
using Sink = std::function<void(std::string_view)>;
void SetSink(Sink sink);

}  // namespace trace
