// Who runs first: the per-user folder and the lock.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TempDir.h"
#include "platform/InstanceChannel.h"

using testing_support::TempDir;

class InstanceLockTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_RUNTIME_DIR", tmp.path().c_str(), 1); }
    TempDir tmp;
};

TEST_F(InstanceLockTest, FolderIsPrivate) {
    const std::string dir = platform::InstanceDirectory();
    ASSERT_EQ(dir, tmp.file("quorvel"));
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A folder others may enter is not trusted.
    chmod(dir.c_str(), 0755);
    std::string error;
    EXPECT_EQ(platform::InstanceDirectory(&error), "");
    EXPECT_FALSE(error.empty());
}

TEST_F(InstanceLockTest, OnlyOneHolderAtATime) {
    const std::string dir = platform::InstanceDirectory();
    auto first = platform::InstanceLock::TryAcquire(dir);
    ASSERT_TRUE(first);
    EXPECT_FALSE(platform::InstanceLock::TryAcquire(dir));
    first.reset();
    EXPECT_TRUE(platform::InstanceLock::TryAcquire(dir));
}

TEST_F(InstanceLockTest, KilledHolderDoesNotBlockTheNextStart) {
    const std::string dir = platform::InstanceDirectory();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto lock = platform::InstanceLock::TryAcquire(dir);
        char c = lock ? 'y' : 'n';
        [[maybe_unused]] ssize_t n = write(ready[1], &c, 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_FALSE(platform::InstanceLock::TryAcquire(dir));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(platform::InstanceLock::TryAcquire(dir));
    close(ready[0]);
    close(ready[1]);
}

TEST_F(InstanceLockTest, HandOffWithoutListenerGivesUp) {
    const std::string dir = platform::InstanceDirectory();
    EXPECT_FALSE(platform::HandOffToRunningInstance(dir, "PC7", 100));
}
