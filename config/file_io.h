// Whole-file reading and crash-safe replacing of files, shared by the configuration file and the
// settings file.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qora {

// Text of the operating system's error number.
QString ErrnoText(int error);

enum class FileReadStatus { Ok, Missing, Failed };

// Reads the file at path into out, at most maxBytes bytes (a longer file is read up to that
// length). Failed also covers directories and other files that cannot be read; error then holds
// the platform's message: 'Cannot open file "<path>". <reason>'.
FileReadStatus ReadFileBytes(const QString& path, std::vector<uint8_t>& out, size_t maxBytes,
                             QString* error = nullptr);

// Replaces the file at path with data so that, whatever happens, path names either the complete
// old file or the complete new one: the data go to a temporary file in the same directory, which
// is flushed to disk and then renamed over path. A symbolic link is followed and its target
// replaced. The mode of an existing file is kept; a new file gets 0666 less the umask.
// On failure the old file is untouched, the temporary file removed, and error holds the
// platform's message: 'Cannot create file "<path>". <reason>'.
bool WriteFileAtomically(const QString& path, const void* data, size_t size, QString* error = nullptr);

}  // namespace qora
