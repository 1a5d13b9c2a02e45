// platform_win32.h: what the Windows line editor (edit_win32.cpp) tells the rest of the
// Windows layer, so that a wait for keys waits for its lines instead of the console's keys.
#pragma once

#include <windows.h>

bool EditorActive();
HANDLE EditorReadyEvent(); // set while edited lines (or keys of the editor's own) wait
bool EditorHasEvents();
