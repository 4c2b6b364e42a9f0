// StoreTestSupport: a fresh message store per test, and readers of the files it leaves on disk.
//
// The suites are named "store_..." so that the discovered names (unit.<suite>.<test>) match the
// case-sensitive "-R store" filter the store's developers run.
#pragma once

#include "TestSupport.h"
#include "store/MessageStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace pw::store::support {

// The value a property file on disk holds for a key (VT_EMPTY when missing or unreadable).
inline Variant FileProperty(const std::string& path, std::string_view key) {
    core::ConfigTree tree;
    MemoryStream stream(test::ReadFileBytes(path));
    EXPECT_EQ(tree.ReadFrom(stream), S_OK) << path;
    return tree.GetCopy(key);
}

// Every element below a directory: files with their bytes, directories with a marker of their own.
inline std::map<std::string, std::vector<std::byte>> Snapshot(const std::string& root) {
    std::map<std::string, std::vector<std::byte>> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string relative = std::filesystem::relative(entry.path(), root).string();
        entries[relative] = entry.is_directory() ? std::vector<std::byte>{std::byte{'/'}} : test::ReadFileBytes(entry.path());
    }
    return entries;
}

class StoreFixture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_THROW(store_ = MessageStore::OpenOrCreate(root_)); }

    std::string At(std::string_view relative) const { return root_ + "/" + std::string(relative); }

    test::ScratchDirectory scratch_;
    std::string root_ = scratch_ / "store";
    std::shared_ptr<MessageStore> store_;
};

}  // namespace pw::store::support
