// What a connection point needs of the serial port it is attached to; the serial side
// (comm's TComPort) implements it, so the records name no class of a layer above them.
#pragma once

namespace qora {

class ISerialLine {
  public:
    virtual bool Connected() const = 0;
    // true opens the port (again, after a failure); false closes it.
    virtual void SetConnected(bool connected) = 0;
    // Writes synchronously; returns the bytes written.
    virtual int Write(const void* buffer, int count) = 0;

  protected:
    ~ISerialLine() = default;
};

}  // namespace qora
