// telnet.h: the Telnet client (RFC 854/855) with the COM-PORT-OPTION (RFC 2217) that a
// network serial server such as ser2net speaks: the decoding of what arrives, the encoding
// of what is sent, the settings of the remote port and the negotiation that opens a line.
// Platform-free: no system calls and no messages; the I/O comes in through TelnetIo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Telnet commands and the options velka-load deals with.
constexpr uint8_t kTelnetSe = 240;
constexpr uint8_t kTelnetSb = 250;
constexpr uint8_t kTelnetWill = 251;
constexpr uint8_t kTelnetWont = 252;
constexpr uint8_t kTelnetDo = 253;
constexpr uint8_t kTelnetDont = 254;
constexpr uint8_t kTelnetIac = 255;
constexpr uint8_t kOptionBinary = 0;
constexpr uint8_t kOptionComPort = 44;

// COM-PORT-OPTION commands from the client; the server's reply to each is its code + 100.
constexpr uint8_t kComSetBaudrate = 1;
constexpr uint8_t kComSetDatasize = 2;
constexpr uint8_t kComSetParity = 3;
constexpr uint8_t kComSetStopsize = 4;
constexpr uint8_t kComSetControl = 5;
constexpr uint8_t kComPurgeData = 12;
constexpr uint8_t kComServerReply = 100;
constexpr uint8_t kComCommands = 13; // client commands 0 to 12

constexpr size_t kTelnetSubSize = 64;  // a subnegotiation's bytes kept; the rest are dropped
constexpr size_t kTelnetOptions = 256; // every option byte

// Where one side of an option stands (RFC 1143, without the queue: velka-load asks once).
enum class TelnetOption : uint8_t { Off, Asked, On };

struct TelnetState {
    // Where the decoder is inside a command, kept across reads.
    enum class Phase : uint8_t { Data, Iac, Verb, Sub, SubIac };
    Phase phase = Phase::Data;
    uint8_t bVerb = 0;     // WILL, WONT, DO or DONT while its option byte is awaited
    bool fAfterCr = false; // a CR came in NVT mode, where a NUL after it is no data
    uint8_t abSub[kTelnetSubSize] = {};
    size_t nSub = 0;

    TelnetOption aUs[kTelnetOptions] = {};  // the options velka-load performs
    TelnetOption aHim[kTelnetOptions] = {}; // those the server performs
    bool fComPortRefused = false;           // the server said WONT/DONT to the COM-PORT-OPTION

    // The server's replies to the COM-PORT commands: which have come (bit = command), and
    // the rate and last one-byte value it gave.
    uint32_t fmReplied = 0;
    uint32_t nServerBaud = 0;
    uint8_t abServerValue[kComCommands] = {};
};

// The transport the negotiation runs over, with deadlines on the caller's clock (seconds).
struct TelnetIo {
    // Up to n bytes into pb: their count, 0 when the deadline has passed, -1 on an error,
    // a hang-up or an interruption.
    std::function<long(uint8_t* pb, size_t n, double dDeadline)> Read;
    // All n bytes, or false (error, hang-up, interruption, or the deadline passed).
    std::function<bool(const uint8_t* pb, size_t n, double dDeadline)> Write;
    std::function<double()> Now;
};

// Decodes n bytes from the network into their data bytes at pbData (which may be pb: the
// data is never longer), and returns their count. The replies the commands call for are
// appended to pvReply, to be sent before anything else.
size_t DecodeTelnet(TelnetState* pt, const uint8_t* pb, size_t n, uint8_t* pbData,
                    std::vector<uint8_t>* pvReply);

// Appends the data bytes as they go on the network: 0xFF doubled, and a CR followed by NUL
// where the server refused binary transmission.
void EncodeTelnet(const TelnetState* pt, const uint8_t* pb, size_t n, std::vector<uint8_t>* pv);

// IAC WILL BINARY, IAC DO BINARY, IAC WILL COM-PORT-OPTION, and marks them asked.
void AppendOpening(TelnetState* pt, std::vector<uint8_t>* pv);

// The remote port set as velka-load sets a local one: the rate, 8 data bits, no parity,
// one stop bit, no flow control, DTR on; then both of its buffers purged.
void AppendSettings(uint32_t nBaud, std::vector<uint8_t>* pv);

// Whether the server has replied to every command AppendSettings sends.
bool SettingsAnswered(const TelnetState* pt);

// Opens the Telnet line: the opening, the server's answer on the option (waited for at
// most a second), the settings and the purge, and whatever data came before them dropped.
// A server that refuses the option, or does not confirm the settings, is gone on with and
// *pstrNotice says so in one line (else it is left empty). False when the I/O failed or
// the deadline passed while sending.
bool NegotiateComPort(TelnetState* pt, uint32_t nBaud, TelnetIo& io, double dDeadline,
                      std::string* pstrNotice);
