// log.cpp: the session log of --log. Each line is stamped with the time of day to the
// millisecond and marked by what it is: "<" the board's bytes, ">" a line sent, "*" an
// event of the session. Every write is flushed at once, so that a crash or an unplug loses
// nothing already received; a board's row still open is ended before another entry.
#include "load.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t kStampSize = 32;
constexpr size_t kEventSize = 1024;

FILE* gpLog = nullptr;
bool gfRowOpen = false; // a row of the board's stands unended in the log
bool gfAfterCR = false; // the board's last byte was a CR: an LF after it ends nothing

void WriteStamp(char cKind) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const long nMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    char sz[kStampSize] = "";
    if (const std::tm* ptm = std::localtime(&t)) std::strftime(sz, sizeof sz, "%H:%M:%S", ptm);
    fprintf(gpLog, "%s.%03ld %c ", sz, nMs, cKind);
}

void EndRow() {
    if (gfRowOpen) fputc('\n', gpLog);
    gfRowOpen = false;
}

// Printable bytes as they are, the others as \xNN.
void WriteEscaped(const uint8_t* pb, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (pb[i] >= 0x20 && pb[i] != 0x7F)
            fputc(pb[i], gpLog);
        else
            fprintf(gpLog, "\\x%02X", pb[i]);
    }
}

} // namespace

bool OpenSessionLog(const std::string& strPath) {
    gpLog = fopen(strPath.c_str(), "ab");
    if (!gpLog) {
        Say("--log %s: %s", strPath.c_str(), strerror(errno));
        return false;
    }
    return true;
}

void LogReceived(const uint8_t* pb, size_t n) {
    if (!gpLog) return;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = pb[i];
        const bool fEnd = b == ASCII_CR || (b == ASCII_LF && !gfAfterCR);
        if (b == ASCII_LF && gfAfterCR) {
            gfAfterCR = false;
            continue;
        }
        gfAfterCR = b == ASCII_CR;
        if (fEnd) {
            if (!gfRowOpen) WriteStamp('<'); // an empty row is a row too
            fputc('\n', gpLog);
            gfRowOpen = false;
            continue;
        }
        if (!gfRowOpen) WriteStamp('<');
        gfRowOpen = true;
        WriteEscaped(&b, 1);
    }
    fflush(gpLog);
}

void LogSent(const std::string& strLine) {
    if (!gpLog) return;
    EndRow();
    WriteStamp('>');
    const size_t n = strLine.size() - (!strLine.empty() && strLine.back() == ASCII_CR ? 1 : 0);
    WriteEscaped(reinterpret_cast<const uint8_t*>(strLine.data()), n);
    fputc('\n', gpLog);
    fflush(gpLog);
}

void LogEvent(const char* fmt, ...) {
    if (!gpLog) return;
    char sz[kEventSize];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(sz, sizeof sz, fmt, ap);
    va_end(ap);
    EndRow();
    WriteStamp('*');
    fprintf(gpLog, "%s\n", sz);
    fflush(gpLog);
}
