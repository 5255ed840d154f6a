#include "app/single_instance.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

class SingleInstance : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qora-lock-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string dir_;
};

// Runs Acquire in a child process (flock is per open file, so another process is the real test).
bool AcquireInChild(const char* name) {
    const pid_t pid = fork();
    if (pid == 0) {
        qora::TSingleInstance other(name);
        _exit(other.Acquire() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST_F(SingleInstance, SecondProcessIsRefusedWhileTheFirstHoldsTheLock) {
    qora::TSingleInstance first(qora::kInstanceMutexName);
    ASSERT_TRUE(first.Acquire());
    EXPECT_EQ(first.Path(), dir_ + "/QORA_OPC_SERVERxkqpwmzrtvbn48213.lock");
    EXPECT_FALSE(AcquireInChild(qora::kInstanceMutexName));
    first.Release();
    EXPECT_TRUE(AcquireInChild(qora::kInstanceMutexName));
}

TEST_F(SingleInstance, LockDiesWithItsProcess) {
    const pid_t pid = fork();
    if (pid == 0) {
        auto* held = new qora::TSingleInstance("died");
        if (!held->Acquire()) _exit(2);
        _exit(0);  // no Release: the kernel must drop the lock
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    qora::TSingleInstance again("died");
    EXPECT_TRUE(again.Acquire());
}

TEST_F(SingleInstance, ReleaseTwiceIsHarmless) {
    qora::TSingleInstance lock("twice");
    ASSERT_TRUE(lock.Acquire());
    lock.Release();
    lock.Release();
    EXPECT_FALSE(lock.Held());
}
