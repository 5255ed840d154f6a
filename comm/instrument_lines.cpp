#include "comm/instrument_lines.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/file_time.h"
#include "comm/serial/com_port.h"
#include "comm/serial/ecomport.h"

namespace qora {

namespace {

constexpr uint32_t kNoValuePattern = 0xFFFFFF00u;

void ClearReceiveState(TConnectionPoint& p) {
    std::memset(p.rxBuffer, 0, sizeof p.rxBuffer);
    p.receivedCount = 0;
    p.expectedLength = 0;
}

}  // namespace

uint8_t Checksum8(const uint8_t* bytes, uint8_t length) {
    uint8_t sum = 0;
    for (int i = 1; i < length; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

float DecodeValue(uint8_t first, uint8_t second, uint8_t third) {
    const uint32_t pattern = (uint32_t{third} << 24) | (uint32_t{second} << 16) | (uint32_t{first} << 8);
    if (pattern == kNoValuePattern) return kNoValue;
    return std::bit_cast<float>(pattern);
}

void EncodeValue(float value, uint8_t out[3]) {
    const uint32_t pattern = std::bit_cast<uint32_t>(value);
    out[0] = static_cast<uint8_t>(pattern >> 8);
    out[1] = static_cast<uint8_t>(pattern >> 16);
    out[2] = static_cast<uint8_t>(pattern >> 24);
}

int BuildRequest(uint8_t address, uint32_t paramMask, uint8_t* out) {
    std::memset(out, 0, kMaxRequestLength);
    out[0] = kStartByte;
    out[kFrameAddress] = address;
    out[kFrameCode] = kCommandRead;
    int n = 0;
    for (int k = 0; k < kParamsPerDevice; ++k)
        if (paramMask & (uint32_t{1} << k)) out[kFrameData + n++] = static_cast<uint8_t>(k);
    out[kFrameDataLength] = static_cast<uint8_t>(n);
    out[kFrameData + n] = Checksum8(out, static_cast<uint8_t>(kFrameData + n));
    return kFrameOverhead + n;
}

TInstrumentLines::TInstrumentLines(TConfigModel& model)
    : model_(model), clock_([] { return NowDateTime(); }) {}

void TInstrumentLines::SendRequest(uint8_t point, uint8_t device) {
    if (point >= model_.pointCount || point >= kMaxPoints) return;
    TConnectionPoint& p = model_.points[point];
    if (device >= p.deviceCount || device >= kMaxDevicesPerPoint || p.serialPort == nullptr) return;
    const TDevice& d = p.devices[device];
    uint8_t frame[kMaxRequestLength];
    const int length = BuildRequest(d.address, d.paramMask, frame);
    try {
        p.serialPort->SetConnected(true);
    } catch (const EComPort& e) {
        // The port stays closed; the next poll tries again.
        diagnostics_.OpenFailed(point, e.Code(), e.WinCode());
        return;
    }
    diagnostics_.SetPortOpen(point, true);
    diagnostics_.RequestStarted(point, device);
    try {
        const int written = p.serialPort->Write(frame, length);
        diagnostics_.RequestWritten(point, device, written, length);
    } catch (const EComPort&) {
        // Dropped on purpose: the poll cycle notices the missing reply (the port closed itself).
        diagnostics_.SetPortOpen(point, p.serialPort->Connected());
    }
}

void TInstrumentLines::AttachPort(TComPort* port) {
    if (port == nullptr) return;
    port->SetOnRxChar([this](TComPort* sender, int count) { ComPortRxChar(sender, count); });
    QObject::connect(port, &TComPort::connectedChanged, port,
                     [this, port](bool connected) { PortConnectedChanged(port, connected); });
}

void TInstrumentLines::PortConnectedChanged(TComPort* port, bool connected) {
    const int point = port->Tag();
    if (point < 0 || point >= model_.pointCount || point >= kMaxPoints) return;
    // Only the point polling through this port: an unbound port may carry any tag.
    if (model_.points[point].serialPort != port) return;
    diagnostics_.SetPortOpen(point, connected);
}

void TInstrumentLines::ComPortRxChar(TComPort* sender, int count) {
    if (sender == nullptr) return;
    const int point = sender->Tag();
    const bool known = point >= 0 && point < model_.pointCount && point < kMaxPoints;
    // Read in slices of a fixed buffer: no allocation per notification.
    uint8_t chunk[512];
    int left = count;
    try {
        while (left > 0 && sender->Connected()) {
            const int want = std::min(left, static_cast<int>(sizeof chunk));
            const int got = sender->Read(chunk, want);
            if (got <= 0) break;
            if (known) Receive(point, chunk, static_cast<size_t>(got));
            left -= got;
        }
    } catch (const EComPort&) {
        // The port closed itself on the failure; the next poll reopens it.
    }
}

void TInstrumentLines::Receive(int point, const uint8_t* bytes, size_t count) {
    if (point < 0 || point >= kMaxPoints) return;
    TConnectionPoint& p = model_.points[point];
    diagnostics_.BytesReceived(point, count);
    uint64_t discarded = 0;
    // A receive state loaded from a file may hold anything: never trust it.
    if (p.receivedCount >= kMaxFrameLength || (p.receivedCount > 0 && p.rxBuffer[0] != kStartByte) ||
        (p.receivedCount > kFrameDataLength &&
         p.receivedCount >= int{p.rxBuffer[kFrameDataLength]} + kFrameOverhead))
        ClearReceiveState(p);
    for (size_t i = 0; i < count; ++i) {
        p.rxBuffer[p.receivedCount] = bytes[i];
        ++p.receivedCount;
        if (p.rxBuffer[0] != kStartByte) {
            ++discarded;
            ClearReceiveState(p);
            continue;
        }
        if (p.receivedCount <= kFrameDataLength) continue;
        // Wider than 8 bits: a length byte of 251..255 must not wrap below 250.
        const int length = int{p.rxBuffer[kFrameDataLength]} + kFrameOverhead;
        if (length > kMaxFrameLength) {  // 250 or more
            ClearReceiveState(p);
            continue;
        }
        p.expectedLength = static_cast<uint8_t>(length);
        if (p.receivedCount == length) {
            HandleFrame(point, p, length);
            ClearReceiveState(p);
        }
    }
    diagnostics_.BytesDiscarded(point, discarded);
}

void TInstrumentLines::HandleFrame(int point, TConnectionPoint& p, int length) {
    const uint8_t* f = p.rxBuffer;
    const bool checksumGood = Checksum8(f, static_cast<uint8_t>(length - 1)) == f[length - 1];
    diagnostics_.FrameReceived(point, checksumGood);
    if (!checksumGood) return;
    const int devices = std::min<int>(p.deviceCount, kMaxDevicesPerPoint);
    TDevice* d = nullptr;
    int device = -1;
    for (int j = 0; j < devices; ++j) {
        if (p.devices[j].address == f[kFrameAddress]) {
            d = &p.devices[j];
            device = j;
            break;
        }
    }
    if (d == nullptr) return;
    if (ReplyCodeAccepted(f[kFrameCode])) {
        diagnostics_.ReplyAccepted(point, device);
        d->unanswered = 0;
        const int checksumAt = length - 1;
        for (int off = kFrameData; off + kValueGroupSize <= checksumAt; off += kValueGroupSize) {
            const int param = f[off];
            if (param > kMaxStoredParam) continue;
            StoreValue(*d, param, qora::DecodeValue(f[off + 1], f[off + 2], f[off + 3]));
            StoreQuality(*d, param, kQualityGood);
            StoreTimestamp(*d, param, clock_());
        }
    } else {
        diagnostics_.ReplyRejected(point, device);
    }
    d->replied = 1;
}

}  // namespace qora
