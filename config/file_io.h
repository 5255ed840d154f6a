// Whole-file reading and crash-safe replacing of files, shared by the configuration file and the
// settings file.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

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

enum class ReplaceMode {
    Replace,       // an existing file is replaced
    KeepExisting,  // an existing file is left alone and the write fails with EEXIST
};

// Writes data to path so that, whatever happens, path names either the complete old file or the
// complete new one: the data go to an unnamed file in the same directory (O_TMPFILE), which is
// flushed to disk and only then given a name, so a process killed while writing leaves nothing
// behind. Where the file system has no unnamed files, a named temporary ".<name>.tmp-<pid>-<n>"
// is used instead; such temporaries left by processes that no longer run are removed by the
// next write to the same path. A symbolic link is followed and its target replaced. The mode of
// an existing file is kept; a new file gets 0666 less the umask.
// On failure the old file is untouched, nothing is left behind, error holds the CreateFileError
// text and errorNumber (when given) the system's error number.
bool WriteFileAtomically(const QString& path, const void* data, size_t size, QString* error = nullptr,
                         ReplaceMode mode = ReplaceMode::Replace, int* errorNumber = nullptr);

// For tests only: called after each chunk written to the temporary file with the bytes written
// so far (a test stops or kills the writer there); and a switch that makes the writer use the
// named temporary as on a file system without unnamed files.
void SetWriteProgressHookForTesting(std::function<void(size_t written)> hook);
void SetUnnamedTempFilesForTesting(bool allowed);

}  // namespace qora
