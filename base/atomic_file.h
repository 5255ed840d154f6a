// Crash-safe replacing of a file's contents, for every file the program writes: configurations,
// settings, the certificate folder's key and certificates, the users file, the service files.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace qora {

enum class ReplaceMode {
    Replace,       // an existing file is replaced
    KeepExisting,  // an existing file is left alone and the write fails with EEXIST
};

struct AtomicWriteOptions {
    ReplaceMode replace = ReplaceMode::Replace;
    // -1: an existing file's mode (and, where permitted, owner) is kept, a new file gets 0666 less
    // the umask. Otherwise the file has this mode from the moment it exists (a private key, the
    // users file: never more open than that, whatever the old file's mode was).
    int fixedMode = -1;
};

// Writes data to path so that, whatever happens, path names either the complete old file or the
// complete new one: the data go to an unnamed file in the same directory (O_TMPFILE), which is
// flushed to disk and only then given a name, so a process killed while writing leaves nothing
// behind. Where the file system has no unnamed files, a named temporary ".<name>.tmp-<pid>-<n>"
// is used instead; such temporaries left by processes that no longer run are removed by the
// next write to the same path. A symbolic link is followed and its target replaced. The
// directory is synced after the rename, so the new name survives a power cut.
// Returns 0, or the system's error number of the step that failed; the old file is then
// untouched and nothing is left behind.
int AtomicWriteFile(const std::string& path, const void* data, size_t size,
                    const AtomicWriteOptions& options = {});

// For tests only: called after each chunk written to the temporary file with the bytes written
// so far (a test stops or kills the writer there); and a switch that makes the writer use the
// named temporary as on a file system without unnamed files.
void SetWriteProgressHookForTesting(std::function<void(size_t written)> hook);
void SetUnnamedTempFilesForTesting(bool allowed);

}  // namespace qora
