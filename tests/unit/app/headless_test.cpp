// The runtime directory given to Qt (and to the single-instance lock) when the session has none.
#include "app/headless.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/saved_env.h"

namespace {

namespace fs = std::filesystem;

class RuntimeDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qora-runtime-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        tmp_ = tmpl;
        env_.Save("XDG_RUNTIME_DIR");
        env_.Save("TMPDIR");
        unsetenv("XDG_RUNTIME_DIR");
        setenv("TMPDIR", (tmp_ + "/").c_str(), 1);
        passwd* pw = getpwuid(geteuid());
        expected_ = tmp_ + "/runtime-" + (pw ? std::string(pw->pw_name) : std::to_string(geteuid()));
    }
    void TearDown() override {
        env_.RestoreAll();
        std::error_code ec;
        fs::remove_all(tmp_, ec);
    }
    static std::string Var() {
        const char* v = std::getenv("XDG_RUNTIME_DIR");
        return v ? v : "";
    }
    std::string tmp_, expected_;
    qora::test::TSavedEnvironment env_;
};

TEST_F(RuntimeDirectory, UnsetVariableGetsAPrivateDirectoryInTheTemporaryDirectory) {
    EXPECT_EQ(qora::PrepareRuntimeDirectory(), expected_);
    EXPECT_EQ(Var(), expected_);
    struct stat st {};
    ASSERT_EQ(::lstat(expected_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // The next start finds the same directory.
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(qora::PrepareRuntimeDirectory(), expected_);
}

TEST_F(RuntimeDirectory, ASetVariableIsKeptAndAnUnsafeDirectoryIsNotTaken) {
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(qora::PrepareRuntimeDirectory(), "");
    EXPECT_EQ(Var(), "/run/user/4242");

    unsetenv("XDG_RUNTIME_DIR");
    ASSERT_EQ(::mkdir(expected_.c_str(), 0755), 0);  // readable by others
    ASSERT_EQ(::chmod(expected_.c_str(), 0755), 0);
    EXPECT_EQ(qora::PrepareRuntimeDirectory(), "");
    EXPECT_EQ(Var(), "");

    ASSERT_EQ(::rmdir(expected_.c_str()), 0);
    ASSERT_EQ(::mkdir((tmp_ + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(::symlink((tmp_ + "/elsewhere").c_str(), expected_.c_str()), 0);  // a planted link
    EXPECT_EQ(qora::PrepareRuntimeDirectory(), "");
    EXPECT_EQ(Var(), "");
}

}  // namespace
