// Serial port object: fixed line settings, synchronous bounded write,
// non-waiting read, and the received-data notification OnRxChar delivered on
// the thread that owns the object (the window thread).
//
// All methods are called on the owning thread. One event thread (TComThread)
// exists while the port is open; it only waits for line events and hands them
// over synchronously. A hang-up or I/O error closes the port at once; the next
// SetConnected(true) opens it again when the device is back.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "config/serial_line.h"

class QSocketNotifier;

namespace qora {

class TComThread;

class TComPort : public QObject, public ISerialLine {
    Q_OBJECT
  public:
    // Count: bytes in the input queue when the notification was raised (> 0).
    using RxCharHandler = std::function<void(TComPort* sender, int count)>;

    // Line setting codes.
    enum BaudRateCode : uint8_t {
        brCustom = 0,
        br110,
        br300,
        br600,
        br1200,
        br2400,
        br4800,
        br9600,
        br14400,
        br19200,
        br38400,
        br56000,
        br57600,
        br115200,
        br128000,
        br256000,
    };
    enum DataBitsCode : uint8_t { dbFive = 0, dbSix, dbSeven, dbEight };
    enum ParityCode : uint8_t { prNone = 0, prOdd, prEven, prMark, prSpace };
    enum StopBitsCode : uint8_t { sbOneStopBit = 0, sbOne5StopBits, sbTwoStopBits };

    // Time-outs: a write of n bytes gives up after kWriteTotalConstantMs + kWriteTotalMultiplierMs * n.
    static constexpr int kWriteTotalConstantMs = 1000;
    static constexpr int kWriteTotalMultiplierMs = 100;

    // Baud rate of a code; 0 for brCustom and unknown codes.
    static int BaudRateValue(uint8_t code);
    // Data bits of a code (5..8); 0 for unknown codes.
    static int DataBitsValue(uint8_t code);

    explicit TComPort(QObject* owner = nullptr);
    ~TComPort() override;  // closes the port if open

    // Port name as listed ("COM1" by default, "ttyUSB0", a declared name).
    const std::string& PortName() const { return portName_; }
    // Setting the name of an open port closes and reopens it.
    void SetPortName(const std::string& name);
    // Device opened; empty means "/dev/" + port name.
    void SetDevicePath(const std::string& path);
    std::string EffectivePath() const;

    uint8_t BaudRate() const { return baudRate_; }
    uint8_t DataBits() const { return dataBits_; }
    uint8_t Parity() const { return parity_; }
    uint8_t StopBits() const { return stopBits_; }
    // Stored; applied at the next open, at once when open (EComPort code 7 on failure).
    void SetBaudRate(uint8_t code);
    void SetDataBits(uint8_t code);
    void SetParity(uint8_t code);
    void SetStopBits(uint8_t code);

    int Tag() const { return tag_; }
    void SetTag(int tag) { tag_ = tag; }

    bool Connected() const override { return fd_ >= 0; }
    // true: opens the port if closed (EComPort on failure, the port stays closed).
    // false: closes it if open. Neither raises when nothing is to be done.
    void SetConnected(bool connected) override;
    void Open() { SetConnected(true); }
    void Close() { SetConnected(false); }
    int Handle() const { return fd_; }

    // Writes count bytes; returns when all are written or the write time-out
    // has passed, with the number written. EComPort code 2 on failure (the port
    // is then closed).
    int Write(const void* buffer, int count) override;
    // Returns at once with at most count bytes from the input queue (fewer, or 0, when
    // fewer are queued; the port stays open). A line found hung up is closed; EComPort
    // code 3 on failure (the port is then closed).
    int Read(void* buffer, int count);

    void SetOnRxChar(RxCharHandler handler) { onRxChar_ = std::move(handler); }

  signals:
    void connectedChanged(bool connected);

  private:
    void DoOpen();
    void DoClose();
    void ApplySettings();
    void ApplyIfOpen();
    void HandOver();
    void DiscardInput();

    std::string portName_ = "COM1";
    std::string devicePath_;
    uint8_t baudRate_ = br9600;
    uint8_t dataBits_ = dbEight;
    uint8_t parity_ = prNone;
    uint8_t stopBits_ = sbOneStopBit;
    int tag_ = 0;
    int fd_ = -1;
    int requestFd_ = -1;
    uint64_t generation_ = 0;  // counts opens, so a hand-over answers only its own event thread
    QSocketNotifier* notifier_ = nullptr;
    std::unique_ptr<TComThread> thread_;
    RxCharHandler onRxChar_;
};

}  // namespace qora
