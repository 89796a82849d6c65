// Debug trace lines: bounded wide formatting into a fixed buffer, then OutputDebugStringW.
#pragma once

#include <cstddef>

// Formats into buffer (count wide characters, count >= 2) and writes the result to the
// debugger output. Text that does not fit is cut short and still ends in a line feed, so an
// overlong path costs the end of the line, never the process.
void WriteTrace(wchar_t *buffer, std::size_t count, const wchar_t *format, ...);

// The two buffer sizes the trace lines use.
void Trace256(const wchar_t *format, ...);
void Trace512(const wchar_t *format, ...);

// Trace512, unless `said` says the line was written already; then it has been. For what a pair
// tells once (each pair keeps its own flags).
void Trace512Once(bool &said, const wchar_t *format, ...);
