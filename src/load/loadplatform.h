// loadplatform.h: what the upload's shared rules (loader.h) pass back to velka-load: the
// source file being read, held whole in memory.
#pragma once

struct SourceText;
using LoaderOwner = SourceText*;
