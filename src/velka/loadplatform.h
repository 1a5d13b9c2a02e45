// loadplatform.h: what the upload's shared rules (loader.h) pass back to Velka.exe: the
// main window, which owns the reader's message boxes.
#pragma once

#include <windows.h>

using LoaderOwner = HWND;
using SourceLineNumber = WORD;
