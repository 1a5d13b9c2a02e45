// telnet.cpp: the Telnet client with the COM-PORT-OPTION: the decoder that takes commands
// and subnegotiations out of what arrives (and answers them), the encoder of what is sent,
// the settings of the remote port, and the negotiation that opens a line. Platform-free.
#include "telnet.h"

#include <algorithm>

namespace {

constexpr uint8_t kCr = 0x0D;
constexpr uint8_t kParityNone = 1;
constexpr uint8_t kStopBitsOne = 1;
constexpr uint8_t kControlNoFlow = 1;
constexpr uint8_t kControlDtrOn = 8;
constexpr uint8_t kPurgeBoth = 3;
constexpr uint8_t kDataBits = 8;

// The replies every settings run waits for (both SET-CONTROLs share one code).
constexpr uint32_t kSettingsReplies = 1u << kComSetBaudrate | 1u << kComSetDatasize |
                                      1u << kComSetParity | 1u << kComSetStopsize |
                                      1u << kComSetControl | 1u << kComPurgeData;

constexpr double kOptionAnswerSeconds = 1; // a Telnet server answers a request at once
constexpr double kSettingsSeconds = 2;     // the server sets a real UART, which takes a while
constexpr double kDrainSeconds = 0.5;      // a banner, when no purge clears the way
constexpr double kQuietSeconds = 0.05;     // what counts as the end of a banner
constexpr size_t kNegotiateReadSize = 1024;

// Binary transmission both ways; the COM-PORT-OPTION is asked for on our side and taken
// when a server offers its side too (it then reports line and modem changes). Any other
// option (ECHO, SUPPRESS-GO-AHEAD, ...) would change what the board's bytes mean.
bool Wanted(uint8_t bOption) {
    return bOption == kOptionBinary || bOption == kOptionComPort;
}

void AppendCommand(std::vector<uint8_t>* pv, uint8_t bVerb, uint8_t bOption) {
    pv->insert(pv->end(), {kTelnetIac, bVerb, bOption});
}

// The answers of RFC 854: a request for a state the option is already in is not answered,
// nor is a refusal of an option that is off, so no two clients can answer each other for
// ever.
void HandleVerb(TelnetState* pt, uint8_t bVerb, uint8_t bOption, std::vector<uint8_t>* pv) {
    TelnetOption& us = pt->aUs[bOption];
    TelnetOption& him = pt->aHim[bOption];
    switch (bVerb) {
    case kTelnetDo:
        if (!Wanted(bOption)) {
            AppendCommand(pv, kTelnetWont, bOption);
        } else if (us != TelnetOption::On) {
            if (us == TelnetOption::Off) AppendCommand(pv, kTelnetWill, bOption);
            us = TelnetOption::On;
            if (bOption == kOptionComPort) pt->fComPortRefused = false;
        }
        break;
    case kTelnetDont:
        if (us == TelnetOption::On) AppendCommand(pv, kTelnetWont, bOption);
        if (us != TelnetOption::Off && bOption == kOptionComPort) pt->fComPortRefused = true;
        us = TelnetOption::Off;
        break;
    case kTelnetWill:
        if (!Wanted(bOption)) {
            AppendCommand(pv, kTelnetDont, bOption);
        } else if (him != TelnetOption::On) {
            if (him == TelnetOption::Off) AppendCommand(pv, kTelnetDo, bOption);
            him = TelnetOption::On;
        }
        break;
    case kTelnetWont:
        if (him == TelnetOption::On) AppendCommand(pv, kTelnetDont, bOption);
        him = TelnetOption::Off;
        break;
    }
}

// A finished subnegotiation: the server's replies to the COM-PORT commands are kept.
void EndSubnegotiation(TelnetState* pt) {
    const uint8_t* pb = pt->abSub;
    if (pt->nSub < 2 || pb[0] != kOptionComPort || pb[1] < kComServerReply) return;
    const unsigned nCommand = pb[1] - kComServerReply;
    if (nCommand >= kComCommands) return;
    pt->fmReplied |= 1u << nCommand;
    if (nCommand == kComSetBaudrate && pt->nSub >= 6)
        pt->nServerBaud = static_cast<uint32_t>(pb[2]) << 24 | static_cast<uint32_t>(pb[3]) << 16 |
                          static_cast<uint32_t>(pb[4]) << 8 | pb[5];
    else if (pt->nSub >= 3)
        pt->abServerValue[nCommand] = pb[2];
}

void AppendSub(std::vector<uint8_t>* pv, uint8_t bCommand, const uint8_t* pbValue, size_t n) {
    pv->insert(pv->end(), {kTelnetIac, kTelnetSb, kOptionComPort, bCommand});
    for (size_t i = 0; i < n; ++i) {
        pv->push_back(pbValue[i]);
        if (pbValue[i] == kTelnetIac) pv->push_back(kTelnetIac);
    }
    pv->insert(pv->end(), {kTelnetIac, kTelnetSe});
}

enum class Pumped { Done, TimeUp, Failed };

// Reads and decodes until fDone holds or dUntil passes, answering commands on the way; the
// data is dropped, since it came before the line was ready. dQuiet > 0: also stops once
// that long has gone by without a byte.
template <typename Done>
Pumped Pump(TelnetState* pt, TelnetIo& io, double dUntil, double dDeadline, double dQuiet,
            Done fDone) {
    uint8_t ab[kNegotiateReadSize];
    std::vector<uint8_t> vReply;
    while (!fDone()) {
        const double dWait = dQuiet > 0 ? std::min(dUntil, io.Now() + dQuiet) : dUntil;
        const long n = io.Read(ab, sizeof ab, dWait);
        if (n < 0) return Pumped::Failed;
        if (n == 0) return Pumped::TimeUp;
        vReply.clear();
        DecodeTelnet(pt, ab, static_cast<size_t>(n), ab, &vReply);
        if (!vReply.empty() && !io.Write(vReply.data(), vReply.size(), dDeadline))
            return Pumped::Failed;
    }
    return Pumped::Done;
}

} // namespace

size_t DecodeTelnet(TelnetState* pt, const uint8_t* pb, size_t n, uint8_t* pbData,
                    std::vector<uint8_t>* pvReply) {
    size_t nData = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = pb[i];
        switch (pt->phase) {
        case TelnetState::Phase::Data:
            if (b == kTelnetIac) {
                pt->phase = TelnetState::Phase::Iac;
                break;
            }
            // Without binary transmission a bare CR travels as CR NUL (RFC 854).
            if (b == 0 && pt->fAfterCr) {
                pt->fAfterCr = false;
                break;
            }
            pt->fAfterCr = b == kCr && pt->aHim[kOptionBinary] != TelnetOption::On;
            pbData[nData++] = b;
            break;
        case TelnetState::Phase::Iac:
            pt->phase = TelnetState::Phase::Data;
            if (b == kTelnetIac) {
                pbData[nData++] = b;
                pt->fAfterCr = false;
            } else if (b == kTelnetSb) {
                pt->nSub = 0;
                pt->phase = TelnetState::Phase::Sub;
            } else if (b >= kTelnetWill && b <= kTelnetDont) {
                pt->bVerb = b;
                pt->phase = TelnetState::Phase::Verb;
            } // NOP, GA, DM and the rest carry nothing for a serial line
            break;
        case TelnetState::Phase::Verb:
            HandleVerb(pt, pt->bVerb, b, pvReply);
            pt->phase = TelnetState::Phase::Data;
            break;
        case TelnetState::Phase::Sub:
            if (b == kTelnetIac)
                pt->phase = TelnetState::Phase::SubIac;
            else if (pt->nSub < kTelnetSubSize)
                pt->abSub[pt->nSub++] = b;
            break;
        case TelnetState::Phase::SubIac:
            if (b == kTelnetIac) {
                if (pt->nSub < kTelnetSubSize) pt->abSub[pt->nSub++] = b;
                pt->phase = TelnetState::Phase::Sub;
                break;
            }
            EndSubnegotiation(pt);
            pt->phase = TelnetState::Phase::Data;
            // A command other than SE ends a subnegotiation left open, and is taken as one.
            if (b != kTelnetSe) {
                pt->phase = TelnetState::Phase::Iac;
                --i;
            }
            break;
        }
    }
    return nData;
}

void EncodeTelnet(const TelnetState* pt, const uint8_t* pb, size_t n, std::vector<uint8_t>* pv) {
    const bool fNvt = pt->aUs[kOptionBinary] == TelnetOption::Off;
    for (size_t i = 0; i < n; ++i) {
        pv->push_back(pb[i]);
        if (pb[i] == kTelnetIac)
            pv->push_back(kTelnetIac);
        else if (pb[i] == kCr && fNvt)
            pv->push_back(0);
    }
}

void AppendOpening(TelnetState* pt, std::vector<uint8_t>* pv) {
    AppendCommand(pv, kTelnetWill, kOptionBinary);
    AppendCommand(pv, kTelnetDo, kOptionBinary);
    AppendCommand(pv, kTelnetWill, kOptionComPort);
    pt->aUs[kOptionBinary] = pt->aHim[kOptionBinary] = TelnetOption::Asked;
    pt->aUs[kOptionComPort] = TelnetOption::Asked;
}

void AppendSettings(uint32_t nBaud, std::vector<uint8_t>* pv) {
    const uint8_t abBaud[] = {static_cast<uint8_t>(nBaud >> 24), static_cast<uint8_t>(nBaud >> 16),
                              static_cast<uint8_t>(nBaud >> 8), static_cast<uint8_t>(nBaud)};
    AppendSub(pv, kComSetBaudrate, abBaud, sizeof abBaud);
    AppendSub(pv, kComSetDatasize, &kDataBits, 1);
    AppendSub(pv, kComSetParity, &kParityNone, 1);
    AppendSub(pv, kComSetStopsize, &kStopBitsOne, 1);
    AppendSub(pv, kComSetControl, &kControlNoFlow, 1);
    AppendSub(pv, kComSetControl, &kControlDtrOn, 1);
    AppendSub(pv, kComPurgeData, &kPurgeBoth, 1);
}

bool SettingsAnswered(const TelnetState* pt) {
    return (pt->fmReplied & kSettingsReplies) == kSettingsReplies;
}

bool NegotiateComPort(TelnetState* pt, uint32_t nBaud, TelnetIo& io, double dDeadline,
                      std::string* pstrNotice) {
    pstrNotice->clear();
    std::vector<uint8_t> v;
    AppendOpening(pt, &v);
    if (!io.Write(v.data(), v.size(), dDeadline)) return false;
    const double dAnswerBy = std::min(dDeadline, io.Now() + kOptionAnswerSeconds);
    Pumped r = Pump(pt, io, dAnswerBy, dDeadline, 0,
                    [pt] { return pt->aUs[kOptionComPort] != TelnetOption::Asked; });
    if (r == Pumped::Failed) return false;

    if (pt->aUs[kOptionComPort] == TelnetOption::On) {
        v.clear();
        AppendSettings(nBaud, &v);
        if (!io.Write(v.data(), v.size(), dDeadline)) return false;
        // The replies come in any order; once all have, the purge is done and whatever
        // arrives is the board's from then on.
        const double dSetBy = std::min(dDeadline, io.Now() + kSettingsSeconds);
        r = Pump(pt, io, dSetBy, dDeadline, 0, [pt] { return SettingsAnswered(pt); });
        if (r == Pumped::Failed) return false;
        if (r == Pumped::Done) return true;
        *pstrNotice = "the server has not confirmed the serial port settings (RFC 2217): the "
                      "board may run at the server's rate";
    } else {
        *pstrNotice = "the server does not take the serial port settings (RFC 2217): the board "
                      "runs at the server's rate";
    }
    // No purge has cleared the way: what comes until the server falls quiet (a banner, an
    // earlier client's answers) answers no line of ours.
    const double dDrainBy = std::min(dDeadline, io.Now() + kDrainSeconds);
    return Pump(pt, io, dDrainBy, dDeadline, kQuietSeconds, [] { return false; }) != Pumped::Failed;
}
