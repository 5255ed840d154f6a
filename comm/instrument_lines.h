// Instrument line protocol: request frames, the reply receiver and the value
// encoding, over the connection points of the configuration model.
//
// Runs on the window thread only (poll ticks and received-data notifications
// both arrive there), so the receive state and the slots need no lock; slot
// fields are stored through the atomic_ref helpers because toolkit threads
// read them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "comm/line_diagnostics.h"
#include "config/records.h"

namespace qora {

class TComPort;

// Frame layout, both directions: start byte, device address, data length n, command (request)
// or reply code, n data bytes, checksum.
inline constexpr int kFrameAddress = 1;
inline constexpr int kFrameDataLength = 2;
inline constexpr int kFrameCode = 3;
inline constexpr int kFrameData = 4;
inline constexpr int kFrameOverhead = 5;  // every byte but the data
// A reply's data: groups of a parameter number and its three value bytes.
inline constexpr int kValueGroupSize = 4;

inline constexpr uint8_t kStartByte = 0xB5;
inline constexpr uint8_t kCommandRead = 0x2F;
inline constexpr uint8_t kReplyCodeMask = 0x9F;  // bits 5 and 6 of the reply code are not looked at
inline constexpr uint8_t kReplyCodeA = 0x8F;
inline constexpr uint8_t kReplyCodeB = 0x81;
inline constexpr int kMaxReplyDataLength = 244;  // reply frames of at most 249 bytes
inline constexpr int kMaxFrameLength = kMaxReplyDataLength + kFrameOverhead;
inline constexpr int kMaxStoredParam = 30;  // groups for parameter 31 and above are skipped
inline constexpr int kMaxRequestLength = kFrameOverhead + kParamsPerDevice;

// Sum of bytes 1 .. length - 1 modulo 256; 0 when length < 2.
uint8_t Checksum8(const uint8_t* bytes, uint8_t length);
// The three value bytes in arrival order are the upper three bytes of a
// little-endian IEEE single; FF FF FF means "no value" (9999999.0).
float DecodeValue(uint8_t first, uint8_t second, uint8_t third);
// Inverse of DecodeValue (the low 8 bits of the pattern are dropped).
void EncodeValue(float value, uint8_t out[3]);
// Writes the request for a device's parameter mask into out (kMaxRequestLength
// bytes); returns the frame length 5 + n.
int BuildRequest(uint8_t address, uint32_t paramMask, uint8_t* out);
// True for a reply code the receiver accepts.
inline bool ReplyCodeAccepted(uint8_t code) {
    const uint8_t c = code & kReplyCodeMask;
    return c == kReplyCodeA || c == kReplyCodeB;
}

class TInstrumentLines {
  public:
    // Local time as TDateTime; NowDateTime unless a test replaces it.
    using Clock = std::function<double()>;

    explicit TInstrumentLines(TConfigModel& model);

    void SetClock(Clock clock) { clock_ = std::move(clock); }

    // Builds the request for device `device` of point `point` and writes it to
    // the point's serial port, opening the port if needed. Errors of the port
    // are dropped: a lost request shows only as a silent device.
    void SendRequest(uint8_t point, uint8_t device);

    // Makes this object the port's receiver: OnRxChar feeds the receiver, and the port's opening
    // and closing (a hang-up included) show in the diagnostics of the point bound to it.
    void AttachPort(TComPort* port);

    // OnRxChar handler of every serial port: reads what is queued and feeds it
    // to the receiver of the point whose index the port carries as its tag.
    void ComPortRxChar(TComPort* sender, int count);

    // The receiver proper: processes bytes received for a point, byte by byte.
    void Receive(int point, const uint8_t* bytes, size_t count);

    TConfigModel& Model() { return model_; }
    // Counters of the lines and devices (written here and by the poll cycle, on this thread).
    TLineDiagnostics& Diagnostics() { return diagnostics_; }
    const TLineDiagnostics& Diagnostics() const { return diagnostics_; }

  private:
    void HandleFrame(int point, TConnectionPoint& p, int length);
    void PortConnectedChanged(TComPort* port, bool connected);

    TConfigModel& model_;
    Clock clock_;
    TLineDiagnostics diagnostics_;
};

}  // namespace qora
