#include "monitor/trace.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

static void FormatAndWrite(wchar_t *buffer, std::size_t count, const wchar_t *format,
                           va_list args) {
    if (_vsnwprintf_s(buffer, count, _TRUNCATE, format, args) < 0) {
        // Cut short: keep the line a line for whoever reads the debugger output.
        buffer[count - 1] = L'\0';
        buffer[count - 2] = L'\n';
    }
    OutputDebugStringW(buffer);
}

void WriteTrace(wchar_t *buffer, std::size_t count, const wchar_t *format, ...) {
    va_list args;
    va_start(args, format);
    FormatAndWrite(buffer, count, format, args);
    va_end(args);
}

void Trace256(const wchar_t *format, ...) {
    wchar_t line[256];
    va_list args;
    va_start(args, format);
    FormatAndWrite(line, 256, format, args);
    va_end(args);
}

void Trace512(const wchar_t *format, ...) {
    wchar_t line[512];
    va_list args;
    va_start(args, format);
    FormatAndWrite(line, 512, format, args);
    va_end(args);
}

void Trace512Once(bool &said, const wchar_t *format, ...) {
    if (said)
        return;
    said = true;
    wchar_t line[512];
    va_list args;
    va_start(args, format);
    FormatAndWrite(line, 512, format, args);
    va_end(args);
}
