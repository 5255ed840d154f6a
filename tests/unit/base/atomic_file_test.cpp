#include "base/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

// The mode a written file ends with: a fixed mode holds from creation whatever the old file's
// or the umask allow, no fixed mode keeps the old file's, both kinds of temporary.
TEST(AtomicWriteFile, ModeOfTheWrittenFile) {
    struct Case {
        const char* name;
        int oldMode;  // -1: no old file
        int fixedMode;
        mode_t umaskValue;
        mode_t expected;
    };
    const Case cases[] = {
        {"secret replaces a world-readable file", 0644, 0600, 022, 0600},
        {"secret created under an open umask", -1, 0600, 0, 0600},
        {"ordinary replace keeps the old mode", 0640, -1, 022, 0640},
        {"ordinary new file follows the umask", -1, -1, 027, 0640},
    };
    char dirTemplate[] = "/tmp/qora-atomic-XXXXXX";
    const std::string dir = ::mkdtemp(dirTemplate);
    for (bool unnamed : {true, false}) {
        qora::SetUnnamedTempFilesForTesting(unnamed);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (unnamed ? " (unnamed temporary)" : " (named temporary)"));
            const std::string path = dir + "/file";
            ::unlink(path.c_str());
            if (c.oldMode >= 0) {
                std::ofstream(path) << "old";
                ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.oldMode)), 0);
            }
            const mode_t saved = ::umask(c.umaskValue);
            const int e = qora::AtomicWriteFile(path, "new", 3, {.fixedMode = c.fixedMode});
            ::umask(saved);
            ASSERT_EQ(e, 0);
            EXPECT_EQ(ReadAll(path), "new");
            EXPECT_EQ(ModeOf(path), c.expected);
        }
    }
    qora::SetUnnamedTempFilesForTesting(true);
    std::system(("rm -rf " + dir).c_str());
}

TEST(AtomicWriteFile, FailureReturnsTheErrorAndKeepsTheOldFile) {
    char dirTemplate[] = "/tmp/qora-atomic-XXXXXX";
    const std::string dir = ::mkdtemp(dirTemplate);
    EXPECT_EQ(qora::AtomicWriteFile(dir + "/missing/file", "x", 1), ENOENT);
    const std::string path = dir + "/kept";
    std::ofstream(path) << "old";
    EXPECT_EQ(qora::AtomicWriteFile(path, "x", 1, {.replace = qora::ReplaceMode::KeepExisting}), EEXIST);
    EXPECT_EQ(ReadAll(path), "old");
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
