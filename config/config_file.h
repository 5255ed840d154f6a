// The binary configuration file (*.cfg).
//
//   offset 0   9 bytes  "QORA_OPC" and a zero byte
//   offset 9   2 bytes  version 01 01
//   offset 11  2 bytes  CRC-16/MODBUS, high byte first, over the first (block size mod 65536)
//                       bytes of the block
//   offset 13  4 bytes  block size = 5 + n * 90528 (the block runs from offset 13 to the end)
//   offset 17  1 byte   point count n
//   offset 18           n connection point images of 90528 bytes, each with 128 device images
//                       of 704 bytes at image offset 136
//
// Encoded and decoded field by field, little-endian; reserved bytes and the two reference fields
// of a point image are written as zero and ignored on reading.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "config/file_io.h"
#include "config/records.h"

namespace qora {

inline constexpr size_t kCfgHeaderSize = 18;
inline constexpr size_t kCfgPointImageSize = 90528;
inline constexpr size_t kCfgDeviceImageSize = 704;
inline constexpr size_t kCfgDevicesOffset = 136;  // first device image within a point image
inline constexpr size_t kCfgMaxFileSize = kCfgHeaderSize + kMaxPoints * kCfgPointImageSize;
inline constexpr uint16_t kCfgVersion = 0x0101;
inline constexpr char kCfgSignature[] = "QORA_OPC";

inline constexpr char16_t kMsgNotConfigFile[] =
    u"Файл не является файлом конфигурации QORA OPC Server или поврежден.";

// CRC-16/MODBUS (reflected polynomial 0xA001, initial 0xFFFF, no final XOR).
uint16_t Crc16Modbus(const uint8_t* data, size_t size);

// The whole file for the points in use of model (18 + n * 90528 bytes).
std::vector<uint8_t> EncodeConfig(const TConfigModel& model);

enum class DecodeStatus {
    Ok,
    BadSignature,  // no "QORA_OPC" and zero byte at the start (also: shorter than 9 bytes)
    Truncated,     // shorter than the header, the CRC's range or the images it announces
    BadCrc,
    TooManyPoints,  // point count above 50
    BadRecords,     // images that break the model's limits (device count above 128, ...)
};

// Decodes a whole file into the connection point table and the point count of model; the
// catalogue and the other fields are not touched. Whatever the status, the points are cleared
// first, and on any status but Ok they are left empty. Never reads outside file.
DecodeStatus DecodeConfig(std::span<const uint8_t> file, TConfigModel& model);

struct TConfigReadResult {
    enum class Status { Loaded, Refused, OpenFailed };
    Status status = Status::OpenFailed;
    DecodeStatus decode = DecodeStatus::Ok;  // why a file was refused
    QString message;                         // Refused: the refusal message; OpenFailed: the platform's error
    bool ok() const { return status == Status::Loaded; }
};

// Reads and decodes the file at path into model (points cleared in every case).
TConfigReadResult ReadConfigFile(const QString& path, TConfigModel& model);

struct TConfigWriteResult {
    bool ok = false;
    QString error;        // the platform's error when ok is false
    int errorNumber = 0;  // its error number (EEXIST: KeepExisting found the file there)
};

// Writes the points in use of model to path through a temporary file that is flushed and then
// named path (WriteFileAtomically): on failure the previous file stays as it was.
TConfigWriteResult WriteConfigFile(const QString& path, const TConfigModel& model,
                                   ReplaceMode mode = ReplaceMode::Replace);

}  // namespace qora
