// ConfigTree: key matching, node creation and removal, the child walk, the dirty flag and the
// tree's behaviour under several threads.
#include "core/ConfigTree.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/CoreTestSupport.h"

namespace pw::core {
namespace {

using support::Dump;

TEST(ConfigTreeTest, KeysMatchWithoutRegardToCaseAndSkipEmptyComponents) {
    ConfigTree tree;
    ASSERT_TRUE(tree.Set("sys:smtp:0:port", Variant::UI2(0x1900)));

    Variant value;
    EXPECT_TRUE(tree.Get("SYS:SMTP:0:PORT", value));
    EXPECT_EQ(value, Variant::UI2(0x1900));
    EXPECT_TRUE(tree.Get(":sys::Smtp:::0:port:", value));
    EXPECT_EQ(value, Variant::UI2(0x1900));

    // A near miss is a miss, and the output is reset to VT_EMPTY.
    EXPECT_FALSE(tree.Get("sys:smtp:0:por", value));
    EXPECT_EQ(value.Type(), VT_EMPTY);
    EXPECT_FALSE(tree.Get("sys:smtp:0:port:deeper", value));
    EXPECT_FALSE(tree.Get("sys:smtp:1:port", value));
    EXPECT_EQ(tree.GetCopy("missing").Type(), VT_EMPTY);

    // Setting through another spelling replaces the value; the node keeps its first name.
    ASSERT_TRUE(tree.Set("SYS::SMTP:0:PORT", Variant::I4(7)));
    EXPECT_EQ(tree.NodeCount(), 4u);
    const auto records = tree.Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[3].key, "sys:smtp:0:port");
    EXPECT_EQ(records[3].value, Variant::I4(7));

    EXPECT_EQ(SplitKey("a::b"), (std::vector<std::string_view>{"a", "b"}));
    EXPECT_EQ(SplitKey(":a:"), (std::vector<std::string_view>{"a"}));
    EXPECT_TRUE(SplitKey(":::").empty());
}

TEST(ConfigTreeTest, SetCreatesTheMissingParentsAsGroupingNodes) {
    ConfigTree tree;
    ASSERT_TRUE(tree.Set("a:b:c", Variant::I4(42)));
    EXPECT_EQ(tree.NodeCount(), 3u);
    EXPECT_EQ(Dump(tree), "a = empty:\na:b = empty:\na:b:c = i4:42\n");

    Variant value = Variant::I4(1);
    EXPECT_TRUE(tree.Get("a:b", value));  // a grouping node exists, with an empty value
    EXPECT_EQ(value.Type(), VT_EMPTY);
    EXPECT_EQ(tree.ChildCount("a"), 1u);
    EXPECT_EQ(tree.ChildCount("A:B"), 1u);
    EXPECT_EQ(tree.ChildCount("a:b:c"), 0u);
    EXPECT_EQ(tree.ChildCount("missing"), 0u);
    EXPECT_EQ(tree.ChildCount("a:missing:deeper"), 0u);

    // A value on a grouping node keeps its children; a second child adds exactly one node.
    ASSERT_TRUE(tree.Set("a:b", Variant::Text("group")));
    ASSERT_TRUE(tree.Set("a:b:d", Variant::Null()));
    EXPECT_EQ(tree.NodeCount(), 4u);
    EXPECT_EQ(Dump(tree), "a = empty:\na:b = str:\"group\"\na:b:c = i4:42\na:b:d = null:\n");

    // The whole file holds three records for the first tree, the first two of type VT_EMPTY.
    ConfigTree three;
    ASSERT_TRUE(three.Set("x:y:z", Variant::I4(1)));
    test::Bytes expected;
    expected.U32(1).U32(3);
    support::Group(expected, "x");
    support::Group(expected, "x:y");
    support::Head(expected, "x:y:z", VT_I4).U32(1);
    EXPECT_EQ(support::WriteImage(three), expected.Get());
}

TEST(ConfigTreeTest, KeyWithoutAnyComponentIsRefused) {
    ConfigTree tree;
    EXPECT_FALSE(tree.Set("", Variant::I4(1)));
    EXPECT_FALSE(tree.Set(":::", Variant::I4(1)));
    EXPECT_FALSE(tree.Remove(""));
    EXPECT_FALSE(tree.Remove("::"));
    EXPECT_EQ(tree.NodeCount(), 0u);
    EXPECT_TRUE(tree.Records().empty());
    EXPECT_FALSE(tree.IsDirty());
}

TEST(ConfigTreeTest, RemoveTakesTheWholeSubtree) {
    ConfigTree tree;
    for (const char* key : {"a:b:c", "a:b:d", "a:b:d:e", "a:f", "g"}) ASSERT_TRUE(tree.Set(key, Variant::I4(1)));
    ASSERT_EQ(tree.NodeCount(), 7u);

    EXPECT_TRUE(tree.Remove("A::B"));
    EXPECT_EQ(tree.NodeCount(), 3u);
    EXPECT_EQ(tree.Records().size(), 3u);
    EXPECT_EQ(Dump(tree), "a = empty:\na:f = i4:1\ng = i4:1\n");
    Variant value;
    EXPECT_FALSE(tree.Get("a:b:d:e", value));

    EXPECT_FALSE(tree.Remove("a:b"));          // already gone
    EXPECT_FALSE(tree.Remove("x:y"));          // missing parent
    EXPECT_FALSE(tree.Remove("a:f:missing"));  // missing leaf below a leaf
    EXPECT_EQ(tree.NodeCount(), 3u);

    // Removing the last top-level nodes empties the tree, and it can grow again.
    EXPECT_TRUE(tree.Remove("a"));
    EXPECT_TRUE(tree.Remove("G"));
    EXPECT_EQ(tree.NodeCount(), 0u);
    ASSERT_TRUE(tree.Set("a:b", Variant::I2(-1)));
    EXPECT_EQ(Dump(tree), "a = empty:\na:b = i2:-1\n");
}

TEST(ConfigTreeTest, OnlyChangesMarkTheTreeDirty) {
    ConfigTree tree;
    EXPECT_FALSE(tree.IsDirty());
    ASSERT_TRUE(tree.Set("a:b", Variant::I4(1)));
    EXPECT_TRUE(tree.IsDirty());

    tree.SetDirty(false);
    Variant value;
    tree.Get("a:b", value);
    tree.ChildCount("a");
    tree.Records();
    support::WriteImage(tree);
    auto position = tree.FirstChild("a");
    std::string key;
    tree.NextChild(position, key, value);
    EXPECT_FALSE(tree.Remove("a:missing"));
    EXPECT_FALSE(tree.IsDirty());

    EXPECT_TRUE(tree.Remove("a:b"));
    EXPECT_TRUE(tree.IsDirty());

    tree.SetDirty(false);
    tree.Clear();  // clearing a tree that holds a node is a change
    EXPECT_TRUE(tree.IsDirty());
    EXPECT_EQ(tree.NodeCount(), 0u);
    tree.SetDirty(false);
    tree.Clear();  // clearing an empty tree is not
    EXPECT_FALSE(tree.IsDirty());
}

TEST(ConfigTreeTest, ChildWalkFollowsInsertionOrderWithStoredNames) {
    ConfigTree tree;
    ASSERT_TRUE(tree.Set("Sys:Zeta", Variant::I4(1)));
    ASSERT_TRUE(tree.Set("sys:alpha", Variant::I4(2)));
    ASSERT_TRUE(tree.Set("SYS:Mid:deep", Variant::I4(3)));
    ASSERT_TRUE(tree.Set("other", Variant::I4(4)));

    auto position = tree.FirstChild("sys::");
    ASSERT_TRUE(position);
    std::vector<std::string> keys;
    std::vector<std::string> values;
    std::string key;
    Variant value;
    // Every walk is bounded: a position that never ends fails the test instead of hanging it.
    for (int steps = 0; steps < 10 && tree.NextChild(position, key, value); ++steps) {
        keys.push_back(key);
        values.push_back(support::Describe(value));
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Sys:Zeta", "Sys:alpha", "Sys:Mid"}));
    EXPECT_EQ(values, (std::vector<std::string>{"i4:1", "i4:2", "empty:"}));
    EXPECT_FALSE(position);

    // The last child is returned once, and the position ends with it.
    position = tree.FirstChild("sys:mid");
    ASSERT_TRUE(position);
    ASSERT_TRUE(tree.NextChild(position, key, value));
    EXPECT_EQ(key, "Sys:Mid:deep");
    EXPECT_EQ(value, Variant::I4(3));
    EXPECT_FALSE(position);
    EXPECT_FALSE(tree.NextChild(position, key, value));

    EXPECT_FALSE(tree.FirstChild("sys:zeta"));  // a leaf
    EXPECT_FALSE(tree.FirstChild("missing"));
    ConfigTree::Position none;
    EXPECT_FALSE(tree.NextChild(none, key, value));
}

TEST(ConfigTreeTest, ChildWalkSurvivesChangesMadeMeanwhile) {
    ConfigTree tree;
    for (const char* key : {"a:1", "a:2", "a:3"}) ASSERT_TRUE(tree.Set(key, Variant::I4(0)));
    std::string key;
    Variant value;

    // The child the position names was removed: false, and the position is spent.
    auto position = tree.FirstChild("a");
    ASSERT_TRUE(tree.NextChild(position, key, value));
    EXPECT_EQ(key, "a:1");
    ASSERT_TRUE(tree.Remove("a:2"));
    EXPECT_FALSE(tree.NextChild(position, key, value));
    EXPECT_FALSE(position);

    // The parent was removed.
    position = tree.FirstChild("a");
    ASSERT_TRUE(tree.Remove("a"));
    EXPECT_FALSE(tree.NextChild(position, key, value));
    EXPECT_FALSE(position);

    // Removing a child already returned and adding one at the end do not disturb the walk.
    for (const char* k : {"b:1", "b:2", "b:3"}) ASSERT_TRUE(tree.Set(k, Variant::I4(0)));
    position = tree.FirstChild("b");
    ASSERT_TRUE(tree.NextChild(position, key, value));
    ASSERT_TRUE(tree.Remove("b:1"));
    ASSERT_TRUE(tree.Set("b:4", Variant::I4(4)));
    std::vector<std::string> rest;
    for (int steps = 0; steps < 10 && tree.NextChild(position, key, value); ++steps) rest.push_back(key);
    EXPECT_EQ(rest, (std::vector<std::string>{"b:2", "b:3", "b:4"}));
}

// The operations one thread performs on its own subtree; replayed alone they give the same result.
void RunPrivateOperations(ConfigTree& tree, int thread, int count) {
    const std::string own = "t" + std::to_string(thread);
    const std::string loud = "T" + std::to_string(thread);
    for (int i = 0; i < count; ++i) {
        const std::string leaf = ":k" + std::to_string(i % 37) + ":v" + std::to_string(i % 3);
        switch (i % 4) {
        case 0: tree.Set(own + leaf, Variant::I4(i)); break;
        case 1: tree.Set(loud + leaf, Variant::Text(std::to_string(i))); break;
        case 2: tree.Remove(own + ":k" + std::to_string((i * 7) % 37)); break;
        default: tree.Set(own + ":k" + std::to_string(i % 37), Variant::I2(static_cast<std::int16_t>(i))); break;
        }
    }
}

TEST(ConfigTreeTest, ConcurrentChangesKeepTheTreeConsistent) {
    constexpr int kThreads = 4;
    constexpr int kOperations = 2000;
    ConfigTree tree;
    std::vector<std::thread> threads;
    std::vector<int> inconsistencies(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&tree, &inconsistencies, t] {
            // Shared subtree: every thread sets, removes, reads and walks the same keys.
            for (int i = 0; i < kOperations; ++i) {
                const std::string key = "shared:n" + std::to_string(i % 11);
                Variant value;
                std::string walked;
                switch ((i + t) % 5) {
                case 0: tree.Set(key + ":leaf", Variant::I4(i)); break;
                case 1: tree.Remove(key); break;
                case 2: tree.Get(key + ":leaf", value); break;
                case 3: {
                    auto position = tree.FirstChild("shared");
                    for (int steps = 0; steps < 100 && tree.NextChild(position, walked, value); ++steps) {
                        if (walked.rfind("shared:n", 0) != 0) ++inconsistencies[t];
                    }
                    break;
                }
                default: {
                    const auto guard = tree.Lock();
                    if (tree.NodeCount() != tree.Records().size()) ++inconsistencies[t];
                    break;
                }
                }
            }
            RunPrivateOperations(tree, t, kOperations);
        });
    }
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(inconsistencies, std::vector<int>(kThreads, 0));
    EXPECT_EQ(tree.NodeCount(), tree.Records().size());
    // Each thread's own subtree ends exactly as the same operations leave it without company.
    for (int t = 0; t < kThreads; ++t) {
        ConfigTree alone;
        RunPrivateOperations(alone, t, kOperations);
        ConfigTree mine;
        for (const auto& record : tree.Records()) {
            if (record.key.rfind("t" + std::to_string(t), 0) == 0) mine.Set(record.key, record.value);
        }
        EXPECT_EQ(Dump(mine), Dump(alone)) << "thread " << t;
    }
}

}  // namespace
}  // namespace pw::core
