// setfile.h: the layout of the settings file "VELKA.SET", a short binary record, and how
// its baud code reads. Velka.exe reads and writes the file; velka-load takes its rate.
#pragma once

#include <cstdint>

constexpr int kPrefBufSize = 64; // the file's image: more than its 9 to 40 bytes

namespace setfile {

// Offsets in the file.
constexpr int kPortAt = 0;
constexpr int kBaudAt = 1;
constexpr int kNewLineAt = 2;
constexpr int kAutoWrapAt = 3;
constexpr int kReservedAt = 4;
constexpr int kLocalEchoAt = 5;
constexpr int kHexPrintAt = 6;
constexpr int kHeightAt = 7;
constexpr int kFaceAt = 8;

// The baud code is the rate in units of 2400 baud, read as a signed byte.
constexpr int kBaudUnit = 2400;
constexpr int BaudOfCode(uint8_t bCode) {
    return static_cast<signed char>(bCode) * kBaudUnit;
}
// Written as the unsigned rate's units, cut to a byte: a rate read from a negative code
// does not save back to it, as files saved so far show.
constexpr uint8_t CodeOfBaud(uint32_t dwBaud) {
    return static_cast<uint8_t>(dwBaud / static_cast<uint32_t>(kBaudUnit));
}

} // namespace setfile
