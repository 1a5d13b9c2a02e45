// platform_win32.h: what the Windows line editor (edit_win32.cpp) asks of the rest of the
// Windows layer beyond platform.h.
#pragma once

#include <cstddef>
#include <cstdint>

// Puts keys back before those still waiting: typed ahead of a line's end, they belong to
// the next line.
void UnreadKeys(const uint8_t* pb, size_t n);
