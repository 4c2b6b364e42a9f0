// Object ids from file identities: the same through a hard link and a rename, another for a file
// made again, and a folder's id blind to its modification time.
#include "imap/ImapStrings.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <unistd.h>

#include "platform/UniqueFd.h"

namespace pw::imap {
namespace {

FileIdentity IdentityOfPath(const std::filesystem::path& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(static_cast<bool>(fd)) << path;
    FileIdentity identity;
    EXPECT_TRUE(Succeeded(IdentityOf(fd.Get(), identity)));
    return identity;
}

TEST(ObjectIdTest, FollowsTheFileThroughLinksAndRenamesAndNeverComesBackForAnother) {
    const std::filesystem::path root = std::filesystem::temp_directory_path() / ("pw-objectid-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "folder");
    {
        const UniqueFd file(::open((root / "folder" / "1.eml").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_EQ(::write(file.Get(), "x", 1), 1);
    }
    const std::string message = ObjectId('M', IdentityOfPath(root / "folder" / "1.eml"));
    const std::string folder = ObjectId('F', IdentityOfPath(root / "folder"));
    EXPECT_TRUE(std::regex_match(message, std::regex("M[0-9a-f]{16}"))) << message;
    EXPECT_TRUE(IsObjectId(message) && IsObjectId(folder));
    EXPECT_FALSE(IsObjectId("a.b") || IsObjectId("") || IsObjectId(std::string(256, 'a')));

    // COPY links the content; RENAME moves the directory; a new message changes the folder's times.
    std::filesystem::create_hard_link(root / "folder" / "1.eml", root / "folder" / "2.eml");
    std::filesystem::rename(root / "folder", root / "renamed");
    EXPECT_EQ(ObjectId('M', IdentityOfPath(root / "renamed" / "2.eml")), message);
    EXPECT_EQ(ObjectId('F', IdentityOfPath(root / "renamed")), folder);

    // Made again under the old name: another folder, whatever inode it gets.
    std::filesystem::remove_all(root / "renamed");
    std::filesystem::create_directories(root / "folder");
    EXPECT_NE(ObjectId('F', IdentityOfPath(root / "folder")), folder);

    // Each part of an identity counts, but a folder's modification time does not.
    FileIdentity identity{12, 34, 56, 78};
    const std::string base = ObjectId('F', identity);
    identity.modifiedNs = 79;
    EXPECT_EQ(ObjectId('F', identity), base);
    EXPECT_NE(ObjectId('M', identity), ObjectId('M', FileIdentity{12, 34, 56, 78}));
    EXPECT_NE(ObjectId('F', FileIdentity{12, 34, 57, 78}), base);
    EXPECT_NE(ObjectId('F', FileIdentity{12, 35, 56, 78}), base);
    EXPECT_NE(ObjectId('F', FileIdentity{13, 34, 56, 78}), base);
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace pw::imap
