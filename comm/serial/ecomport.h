// Error of the serial port layer: a code naming the failed operation and the
// operating system's error number (errno here).
#pragma once

#include <stdexcept>
#include <string>

namespace qora {

class EComPort : public std::runtime_error {
  public:
    // Codes of the operations the layer performs.
    enum Code : int {
        kOpen = 1,
        kWriteFile = 2,
        kReadFile = 3,
        kInvalidAsync = 4,
        kPurgeComm = 5,
        kSetCommState = 7,
        kSetCommTimeouts = 8,
        kSetupComm = 9,
        kClearCommError = 10,
        kRegistry = 23,
    };

    EComPort(int code, int winCode);

    int Code() const noexcept { return code_; }
    int WinCode() const noexcept { return winCode_; }

    // The code's text, passed through the "cport" text domain; empty for an unknown code.
    static std::string CodeText(int code);
    // Full message: the code's text followed by " (win error code: %d)".
    static std::string Format(int code, int winCode);

  private:
    int code_;
    int winCode_;
};

}  // namespace qora
