// UniqueFd: a descriptor is closed exactly once by whoever owns it last, never when it was handed on,
// and the storage layer's descriptors close through the file system that is current when they close.
#include "platform/UniqueFd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <memory>
#include <vector>

#include "platform/FileSystem.h"

namespace pw {
namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

int OpenNull() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

// Counts the closes that reach it and passes them on.
class CountingFileSystem final : public FileSystem {
public:
    int Close(int fd) override {
        closed.push_back(fd);
        return FileSystem::Close(fd);
    }
    std::vector<int> closed;
};

TEST(UniqueFdTest, ClosesOnceByItsLastOwnerAndNeverWhatWasHandedOn) {
    const int first = OpenNull();
    ASSERT_GE(first, 0);
    {
        UniqueFd owner(first);
        EXPECT_TRUE(owner);
        EXPECT_EQ(owner.Get(), first);
        UniqueFd moved(std::move(owner));
        EXPECT_FALSE(owner);  // a moved-from owner holds nothing
        EXPECT_EQ(moved.Get(), first);
        moved.Reset(first);  // its own descriptor again: nothing to close
        EXPECT_TRUE(IsOpen(first));
        UniqueFd assigned;
        assigned = std::move(moved);
        EXPECT_TRUE(IsOpen(first));
    }
    EXPECT_FALSE(IsOpen(first));

    const int second = OpenNull();
    const int third = OpenNull();
    ASSERT_GE(second, 0);
    ASSERT_GE(third, 0);
    int released = -1;
    {
        UniqueFd owner(second);
        owner.Reset(third);
        EXPECT_FALSE(IsOpen(second)) << "Reset closes what it held";
        released = owner.Release();
        EXPECT_FALSE(owner);
    }
    EXPECT_EQ(released, third);
    EXPECT_TRUE(IsOpen(third)) << "a released descriptor is the caller's";
    ::close(third);

    const UniqueFd failed(-1);  // a failed open owns nothing and closes nothing
    EXPECT_FALSE(failed);
}

TEST(UniqueFdTest, StorageDescriptorsCloseThroughTheFileSystemCurrentWhenTheyClose) {
    CountingFileSystem counting;
    const int plain = OpenNull();
    const int storage = OpenNull();
    ASSERT_GE(plain, 0);
    ASSERT_GE(storage, 0);
    auto late = std::make_unique<StorageFd>(OpenNull());
    {
        const ScopedFileSystem installed(counting);
        { const UniqueFd owner(plain); }
        { const StorageFd owner(storage); }
    }
    late.reset();  // opened before, closed after: the process's own file system again
    EXPECT_EQ(counting.closed, std::vector<int>{storage});
    EXPECT_FALSE(IsOpen(plain));
    EXPECT_FALSE(IsOpen(storage));
}

}  // namespace
}  // namespace pw
