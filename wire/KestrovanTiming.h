#pragma once

#include <QtGlobal>

// The line's settings and times, as both ends keep them. The driver's link and protocol work by
// them, and the analyzer judges a recorded line by the same numbers.
namespace Kestrovan {

// 38400 baud, 8 data bits, no parity, one stop bit, no flow control.
constexpr qint32 BaudRate = 38400;

// A receiver collects bytes until a read finds nothing new within this time.
constexpr int ReadWaitMs = 50;
// A write must have left for the port within this time.
constexpr int WriteWaitMs = 500;
// Without the echo of its check byte within this time, a telegram is written again...
constexpr int AckWindowMs = 500;
// ...until this much time has passed since its first write: then it is given up.
constexpr int GiveUpMs = 8000;

// A query that waits gives the generator this long to answer.
constexpr int ReplyTimeoutMs = 3000;
// The driver asks for both status words this often while it polls.
constexpr int StatusPollIntervalMs = 1000;

} // namespace Kestrovan
