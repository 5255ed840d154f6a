// Whole-file reading and crash-safe replacing of files, shared by the configuration file and the
// settings file.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "base/atomic_file.h"

namespace qora {

// Russian text of the operating system's error number: the common file and listening-socket
// errors from a table of their own (whatever the process locale), any other from the C library.
QString ErrnoText(int error);

// 'Не удалось открыть файл "<path>". <reason>' and 'Не удалось создать файл "<path>". <reason>'.
QString OpenFileError(const QString& path, int error);
QString CreateFileError(const QString& path, int error);

enum class FileReadStatus { Ok, Missing, Failed };

// Reads the file at path into out, at most maxBytes bytes (a longer file is read up to that
// length). Failed also covers directories and other files that cannot be read; error then holds
// the OpenFileError text.
FileReadStatus ReadFileBytes(const QString& path, std::vector<uint8_t>& out, size_t maxBytes,
                             QString* error = nullptr);

// Writes data to path through AtomicWriteFile (base/atomic_file.h), which says how.
// On failure the old file is untouched, nothing is left behind, error holds the CreateFileError
// text and errorNumber (when given) the system's error number.
bool WriteFileAtomically(const QString& path, const void* data, size_t size, QString* error = nullptr,
                         ReplaceMode mode = ReplaceMode::Replace, int* errorNumber = nullptr);

}  // namespace qora
