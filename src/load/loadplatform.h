// loadplatform.h: what the upload's shared rules (loader.h) pass back to velka-load: the
// source file being read, held whole in memory; and its line numbers, which may pass 65 535.
#pragma once

#include <cstdint>

struct SourceText;
using LoaderOwner = SourceText*;
using SourceLineNumber = uint32_t;
