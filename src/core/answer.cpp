// answer.cpp: the scanner of the board's answer to an uploaded line. The answer ends at
// its CR; a '~' anywhere before it rejects the line.
#include "loader.h"

uint8_t gsRXBuf[kRXBufSize];
std::atomic<uint16_t> gwRXCol{0};
std::atomic<int> gfUploading{0};
std::atomic<int> gfUpError{0};
std::atomic<uint8_t> gUploadSync{0};

int ScanCommBlock(const char* lpBlock, int nLength) {
    for (int i = 0; i < nLength; ++i) {
        const uint8_t b = static_cast<uint8_t>(lpBlock[i]);
        // Bytes past the buffer's end are not kept, but still scanned.
        const uint16_t wCol = gwRXCol;
        if (wCol < kRXBufSize) {
            gsRXBuf[wCol] = b;
            gwRXCol = static_cast<uint16_t>(wCol + 1);
        }
        if (b == ASCII_ERR) gfUpError = 1;
        if (b == ASCII_CR) {
            const int fRejected = gfUpError;
            if (fRejected) {
                gUploadSync = ASCII_ERR;
                gfUploading = 0;
            } else {
                gUploadSync = ASCII_ACK;
            }
            SignalAnswer();
            return fRejected; // the rest of the block belongs to no answer
        }
    }
    return 0;
}
