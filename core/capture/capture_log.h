#pragma once

// What the capture does, one line each on standard error, when QUORVANE_DEBUG names "capture"
// (QUORVANE_DEBUG=capture): the connection's states, what the server granted the stream and
// why a source was given up. For a user whose sound server misbehaves to send along; silent
// otherwise, at the cost of one test per line.

namespace quorvane::wavein {

bool CaptureLogging();

// printf-style; the line is prefixed with the seconds since the first line and ends itself.
[[gnu::format(printf, 1, 2)]] void CaptureLog(const char* format, ...);

}  // namespace quorvane::wavein
