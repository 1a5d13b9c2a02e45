// loader.h: the upload's rules, the one copy that Velka.exe and velka-load both compile:
// the line reader that turns a source into the lines the board compiles (blanks,
// control bytes, empty lines and comments removed, the loader directives obeyed), and
// the scanner that finds the end of the board's answer to a line.
//
// Beneath them lies a narrow platform layer: each program has its own loadplatform.h
// (found on its include path) naming the handle the calls pass back, and defines the
// three calls at the end of this file.
#pragma once

#include <atomic>
#include <cstdint>

#include "loadplatform.h"

constexpr int kTXBufSize = 256; // gsTXBuf: one source line and its CR
constexpr int kRXBufSize = 256; // gsRXBuf: one answer of the microcontroller
constexpr uint16_t kMaxLineLength = 80;

// Line reader and upload results.
constexpr int SRC_END = 0;
constexpr int SRC_LINE = 1;
constexpr int SRC_PAUSE = 2;
constexpr int SRC_RESUME = 3; // only from Fold to ReadSourceLine
constexpr int SRC_SKIP = 7;
constexpr int SRC_ERROR = 8; // the file could not be read: the upload stops, not "Ready"

constexpr uint8_t ASCII_BS = 0x08;
constexpr uint8_t ASCII_LF = 0x0A;
constexpr uint8_t ASCII_CR = 0x0D;
constexpr uint8_t ASCII_ACK = 0x06;
constexpr uint8_t ASCII_ERR = '~'; // in an answer: the line was rejected

// The reader's text when a line is cut at the column limit.
extern const char gszLineTooLong[];

// The reader: the line being built and the file's line count.
extern int gfFold;
extern uint8_t gsTXBuf[kTXBufSize];
extern uint16_t gwTXCol;
extern SourceLineNumber gwSourceLine; // a WORD in the window; wider where files are longer
extern uint16_t gwMaxColumn;

// The scanner: the answer so far and the handshake. In Velka.exe the receive thread scans
// while the window's thread waits, so what both touch is atomic.
extern uint8_t gsRXBuf[kRXBufSize];
extern std::atomic<uint16_t> gwRXCol;
extern std::atomic<int> gfUploading;
extern std::atomic<int> gfUpError;
extern std::atomic<uint8_t> gUploadSync;

// A new file begins: no line end has been read yet. A file taken up again after another
// says whether the last byte it gave was a CR, so that an LF after it still ends no line.
void StartSourceFile(bool fAfterCR = false);
int ReadSourceLine(LoaderOwner owner);
int Fold(LoaderOwner owner);
// Nonzero when the block held the CR of an answer that rejected the line.
int ScanCommBlock(const char* lpBlock, int nLength);

// ---- The platform layer: each program defines these.
enum class ReadResult { Byte, End, Error };
// The next byte of the open source file; an Error has been reported already.
ReadResult ReadSourceByte(LoaderOwner owner, uint8_t* pb);
// Tells the user of a line the reader had to cut (gszLineTooLong); the upload goes on.
void ReportLineTooLong(LoaderOwner owner);
// The scanner has seen the CR that ends an answer.
void SignalAnswer();
