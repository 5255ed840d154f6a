#include "comm/serial/ecomport.h"

#include <libintl.h>

#include <cstdio>

namespace qora {

namespace {

const char* RawText(int code) {
    switch (code) {
        case EComPort::kOpen:
            return "Unable to open com port";
        case EComPort::kWriteFile:
            return "WriteFile function failed";
        case EComPort::kReadFile:
            return "ReadFile function failed";
        case EComPort::kInvalidAsync:
            return "Invalid Async parameter";
        case EComPort::kPurgeComm:
            return "PurgeComm function failed";
        case EComPort::kSetCommState:
            return "SetCommState function failed";
        case EComPort::kSetCommTimeouts:
            return "SetCommTimeouts failed";
        case EComPort::kSetupComm:
            return "SetupComm function failed";
        case EComPort::kClearCommError:
            return "ClearCommError function failed";
        case EComPort::kRegistry:
            return "Registry error";
        default:
            return nullptr;
    }
}

}  // namespace

std::string EComPort::CodeText(int code) {
    const char* raw = RawText(code);
    if (raw == nullptr) return {};
    // With no catalogue installed dgettext returns its argument unchanged.
    return dgettext("cport", raw);
}

std::string EComPort::Format(int code, int winCode) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, " (win error code: %d)", winCode);
    return CodeText(code) + suffix;
}

EComPort::EComPort(int code, int winCode)
    : std::runtime_error(Format(code, winCode)), code_(code), winCode_(winCode) {}

}  // namespace qora
