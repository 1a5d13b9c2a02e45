// fuzz_scan.cpp: libFuzzer target of the upload's answer scanner (ScanCommBlock). The
// input is what the microcontroller sends during uploads, delivered in pieces as the
// receive thread delivers blocks; the shared upload state must match a reference model.
#include "fuzz_util.h"
#include "standin.h"
#include "velka.h"

#include <cstring>
#include <string>

namespace {

// Input layout: options, split seed, then the received bytes. Options: bits 0-2 piece
// class; bit 3 the window's thread takes each answer only now and then, so bytes after a
// CR can arrive before the next line resets the buffer.
constexpr size_t kHeader = 2;

// The reference: per upload line, the answer so far as a string. A block is taken up to
// and including its first CR; the rest of that block is not looked at.
struct Reference {
    std::string answer;
    bool fError = false;     // a '~' since the upload started
    bool fUploading = true;  // blocks go to the scanner, not the screen
    BYTE bSync = 0;          // what the waiting window's thread is told
    bool fSignalled = false; // the upload event: set at each answer's CR, taken by a wait

    void Deliver(const std::string& block) {
        if (!fUploading) return; // the receive thread shows it instead
        const size_t at = block.find('\r');
        const std::string taken = at == std::string::npos ? block : block.substr(0, at + 1);
        answer += taken;
        if (taken.find('~') != std::string::npos) fError = true;
        if (at == std::string::npos) return;
        bSync = fError ? ASCII_ERR : ASCII_ACK;
        fUploading = !fError;
        fSignalled = true;
    }
    // The window's thread after the wait: an accepted line sends the next one, a
    // rejected one ends the upload and the next upload starts afresh.
    void NextLine() {
        if (bSync == ASCII_ERR) fError = false, fUploading = true;
        answer.clear(), bSync = 0; // the event is left as it is: it resets when waited on
    }
};

void ProgramNextLine() {
    if (gUploadSync == ASCII_ERR) gfUpError = FALSE, gfUploading = TRUE;
    gwRXCol = 0;
    gUploadSync = 0;
}

// The event is read only where the reference says it changes, and at the end: the
// stand-in's zero-timeout wait costs a timed futex wait. Reading it is a wait, which
// takes the signal, as the window's thread does.
void Check(Reference& r, bool fEvent) {
    const size_t nKept = std::min<size_t>(r.answer.size(), kRXBufSize);
    FUZZ_CHECK(gwRXCol <= kRXBufSize);
    FUZZ_CHECK(gwRXCol == nKept);
    FUZZ_CHECK(std::memcmp(gsRXBuf, r.answer.data(), nKept) == 0);
    FUZZ_CHECK((gfUpError != FALSE) == r.fError);
    FUZZ_CHECK((gfUploading != FALSE) == r.fUploading);
    FUZZ_CHECK(gUploadSync == r.bSync);
    if (fEvent) {
        FUZZ_CHECK((WaitForSingleObject(ghUploadEvent, 0) == WAIT_OBJECT_0) == r.fSignalled);
        r.fSignalled = false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeader) return 0;
    standin::Reset(); // forgets the event and the call counters of the last input
    ghUploadEvent = nullptr;
    FUZZ_CHECK(CreateUploadEvent());
    // As UploadSource and SendLineAndWait leave it before the first answer.
    gfUpError = FALSE, gfUploading = TRUE, gUploadSync = 0, gwRXCol = 0;
    std::memset(gsRXBuf, 0, sizeof gsRXBuf);

    const bool fLateTaker = data[0] & 8;
    fuzz::Splitter split(data[1], fuzz::kPieceClasses[data[0] & 7]);
    const char* body = reinterpret_cast<const char*>(data + kHeader);
    const size_t nBody = size - kHeader;
    Reference ref;
    for (size_t at = 0; at < nBody;) {
        const size_t n = std::min(split.Next(), nBody - at);
        // DeliverBlock's choice between the scanner and the screen.
        if (gfUploading) ScanCommBlock(body + at, static_cast<int>(n));
        const bool fWasSignalled = ref.fSignalled;
        ref.Deliver(std::string(body + at, n));
        Check(ref, ref.fSignalled != fWasSignalled);
        at += n;
        if (gUploadSync != 0 && (!fLateTaker || (split.Bits() & 3) == 0)) {
            ProgramNextLine();
            ref.NextLine();
            Check(ref, true);
        }
    }
    Check(ref, true);
    DestroyUploadEvent();
    return 0;
}
