// FETCH items and sections: what each request needs of a message, the names the response gives the
// items, and every refusal with its reply, before any message is touched.
#include "imap/FetchItems.h"

#include <gtest/gtest.h>

namespace pw::imap {
namespace {

Argument Item(std::string text) { return {ArgumentKind::FetchAttribute, std::move(text), {}, false}; }

Argument List(std::initializer_list<std::string> items) {
    Argument list{ArgumentKind::List, {}, {}, false};
    for (const std::string& item : items) list.items.push_back(Item(item));
    return list;
}

TEST(FetchItemsTest, NamesSectionsAndNeedsOfEachItem) {
    FetchRefusal refusal;
    const auto request = ParseFetchItems(
        List({"uid", "body.peek[1.2.MIME]<0.10>", "BODY[header.fields (Subject \"To\")]", "BINARY.SIZE[3]", "rfc822.size", "body[]<5.1>"}),
        refusal);
    ASSERT_TRUE(request) << refusal.reply;
    const auto& items = request->items;
    ASSERT_EQ(items.size(), 6u);
    EXPECT_EQ(items[0].ResponseName(), "UID");
    EXPECT_EQ(items[1].ResponseName(), "BODY[1.2.MIME]<0>");
    EXPECT_EQ(items[1].section.path, "1.2");
    EXPECT_EQ(items[1].section.count, 10u);
    EXPECT_EQ(items[2].ResponseName(), "BODY[HEADER.FIELDS (SUBJECT \"TO\")]");
    EXPECT_EQ(items[2].section.fields, (std::vector<std::string>{"SUBJECT", "TO"}));
    EXPECT_EQ(items[3].ResponseName(), "BINARY.SIZE[3]");
    EXPECT_EQ(items[5].ResponseName(), "BODY[]<5>");
    // Only what is asked for is read: a part needs the walk, a header field the header, BODY[] the file.
    EXPECT_TRUE(items[1].Flags() & kNeedsParse);
    EXPECT_FALSE(items[1].Flags() & kMarksSeen);
    EXPECT_EQ(items[2].Flags() & (kNeedsParse | kNeedsHeader), kNeedsHeader);
    EXPECT_TRUE(items[2].Flags() & kMarksSeen);
    EXPECT_EQ(items[5].Flags() & (kNeedsParse | kNeedsHeader | kNeedsContent), kNeedsContent);
    EXPECT_EQ(items[0].Flags() | items[4].Flags(), 0u);

    const auto fast = ParseFetchItems(Item("fast"), refusal);
    ASSERT_TRUE(fast);
    EXPECT_EQ(fast->items.size(), 3u);
    EXPECT_EQ(fast->needs & (kNeedsParse | kNeedsHeader | kNeedsContent), 0u);  // the session's entry has all of it
    EXPECT_EQ(ParseFetchItems(Item("FULL"), refusal)->items.back().ResponseName(), "BODY");
}

TEST(FetchItemsTest, RefusesBadItemsAndSectionsWithTheirReplies) {
    const struct {
        const char* item;
        const char* reply;
        bool bad;
    } cases[] = {
        {"BODY.PEEK", "FETCH command has unrecognized Data Item:  BODY.PEEK", false},
        {"RFC822.SIZEX", "FETCH command has unrecognized Data Item:  RFC822.SIZEX", false},
        {"BODY[1", "Invalid section specifier:  right bracket missing.", true},
        {"BODY[1]x", "Section specification has invalid characters following ']'", true},
        {"BODY[]<0.0>", "Invalid specification for partial section fetch", true},
        {"BODY[]<5>", "Invalid specification for partial section fetch", true},
        {"BODY[]<1.99999999999999999999999>", "Invalid specification for partial section fetch", true},
        {"BODY[MIME]", "Invalid section specifier", true},
        {"BODY[0]", "Invalid section specifier", true},
        {"BODY[1.]", "Invalid section specifier", true},
        {"BODY[HEADERS]", "Invalid HEADER specification", true},
        {"BODY[HEADER.FIELDS]", "HEADER FIELDS list missing", true},
        {"BODY[HEADER.FIELDS ()]", "HEADER FIELDS list missing", true},
        {"BINARY[1.HEADER]", "Invalid section specifier", true},
        {"BINARY.SIZE[1]<0.5>", "Invalid section specifier", true},
    };
    for (const auto& c : cases) {
        FetchRefusal refusal;
        EXPECT_FALSE(ParseFetchItems(List({"FLAGS", c.item}), refusal)) << c.item;
        EXPECT_EQ(refusal.reply, c.reply) << c.item;
        EXPECT_EQ(refusal.bad, c.bad) << c.item;
    }
    FetchRefusal refusal;
    EXPECT_FALSE(ParseFetchItems(List({}), refusal));
    EXPECT_TRUE(refusal.bad);
}

}  // namespace
}  // namespace pw::imap
