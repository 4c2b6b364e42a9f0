// DnsMessage: the query layout servers expect, and answers read without trusting a single length or
// pointer -- whatever a malformed answer holds, it yields no records and never a read out of bounds.
#include "dns/DnsMessage.h"

#include <gtest/gtest.h>

namespace pw::dns {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A response with id 0x1234, one question and the given record counts.
Bytes Header(std::uint8_t answers, std::uint8_t additional = 0) {
    return {0x12, 0x34, 0x81, 0x80, 0, 1, 0, answers, 0, 0, 0, additional};
}

// "mx.example.com" MX IN at offset 12; "example.com" starts at 15 and the records at 32.
const Bytes kQuestion = {2, 'm', 'x', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0, 0, 15, 0, 1};

// Type A, class IN, TTL 60, then the data length and the data.
Bytes ARecord(const Bytes& name, std::uint8_t dataLength = 4) {
    return name + Bytes{0, 1, 0, 1, 0, 0, 0, 60, 0, dataLength, 192, 0, 2, 7};
}

TEST(DnsMessageTest, QueryLayoutAndReverseNames) {
    const auto query = BuildQuery(0xBEEF, "mail.Example.org.", kTypeMX);
    ASSERT_TRUE(query);
    const Bytes expected = {0xBE, 0xEF, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0,  // id, RD, one question
                            4, 'm', 'a', 'i', 'l', 7, 'E', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'o', 'r', 'g', 0,
                            0, 15, 0, 1};  // MX, IN
    EXPECT_EQ(*query, expected);
    EXPECT_TRUE(BuildQuery(1, std::string(63, 'x') + ".com", kTypeA));
    EXPECT_FALSE(BuildQuery(1, std::string(64, 'x') + ".com", kTypeA));
    EXPECT_FALSE(BuildQuery(1, "a..b", kTypeA));
    EXPECT_FALSE(BuildQuery(1, ".", kTypeA));
    EXPECT_FALSE(BuildQuery(1, "", kTypeA));

    EXPECT_EQ(QueryName("10.1.2.3"), "3.2.1.10.IN-ADDR.ARPA");
    EXPECT_EQ(QueryName("mail.example.org"), "mail.example.org");
    EXPECT_EQ(QueryName("10.1.2"), "10.1.2");
    EXPECT_EQ(QueryName("2001:db8::567:89ab"), "b.a.9.8.7.6.5.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.IP6.ARPA");
}

TEST(DnsMessageTest, CompressedNamesAreFollowedBackwards) {
    // MX 10 "mail" + pointer to "example.com"; the A record's name points at that exchange, which
    // itself ends in a pointer.
    const Bytes mx = Bytes{0xC0, 12, 0, 15, 0, 1, 0, 0, 0x0E, 0x10, 0, 9, 0, 10, 4, 'm', 'a', 'i', 'l', 0xC0, 15};
    const auto answer = ParseAnswer(Header(1, 1) + kQuestion + mx + ARecord({0xC0, 46}));
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->complete && answer->response && !answer->truncated);
    EXPECT_EQ(answer->id, 0x1234);
    ASSERT_EQ(answer->questions.size(), 1u);
    EXPECT_EQ(answer->questions[0].name, "mx.example.com");

    ASSERT_EQ(answer->answers.size(), 1u);
    const DnsRecord& record = answer->answers[0];
    EXPECT_EQ(record.name, "mx.example.com");
    EXPECT_EQ(record.type, kTypeMX);
    EXPECT_EQ(record.ttl, 3600u);
    EXPECT_EQ(record.dataLength, 9);
    EXPECT_EQ(answer->NameAt(record.dataOffset + 2), "mail.example.com");

    ASSERT_EQ(answer->additional.size(), 1u);
    EXPECT_EQ(answer->additional[0].name, "mail.example.com");
    const auto data = answer->Data(answer->additional[0]);
    EXPECT_EQ(Bytes(data.begin(), data.end()), (Bytes{192, 0, 2, 7}));
    EXPECT_EQ(answer->NameAt(answer->message.size()), std::nullopt);
}

TEST(DnsMessageTest, MalformedRecordsLeaveAnIncompleteAnswerWithoutRecords) {
    // Each bad record as it would sit at offset `at`, so its pointers aim where the case says.
    struct Case {
        const char* what;
        Bytes (*make)(std::uint8_t at);
    };
    const Case cases[] = {
        {"pointer ahead", [](std::uint8_t at) { return ARecord({0xC0, static_cast<std::uint8_t>(at + 2)}); }},
        {"pointer to itself", [](std::uint8_t at) { return ARecord({0xC0, at}); }},
        {"pointer into its own second byte", [](std::uint8_t at) { return ARecord({0xC0, static_cast<std::uint8_t>(at + 1)}); }},
        {"loop through a backward pointer", [](std::uint8_t at) { return ARecord({1, 'a', 0xC0, at}); }},
        {"label of 64", [](std::uint8_t) { return ARecord(Bytes{64} + Bytes(64, 'x') + Bytes{0}); }},
        {"label of 128", [](std::uint8_t) { return ARecord({0x80, 'x', 0}); }},
        {"label of 191", [](std::uint8_t) { return ARecord({0xBF, 'x', 0}); }},
        {"label past the end", [](std::uint8_t) { return Bytes{9, 'x'}; }},
        {"pointer cut in half", [](std::uint8_t) { return Bytes{0xC0}; }},
        {"fixed fields cut", [](std::uint8_t) { return Bytes{0xC0, 12, 0, 1, 0, 1}; }},
        {"data past the end", [](std::uint8_t) { return ARecord({0xC0, 12}, 5); }},
        {"name over 255", [](std::uint8_t) {
             Bytes name;
             for (int i = 0; i < 5; ++i) name = name + Bytes{60} + Bytes(60, 'n');
             return ARecord(name + Bytes{0});
         }},
    };
    const Bytes good = ARecord({0xC0, 12});
    for (const Case& bad : cases) {
        SCOPED_TRACE(bad.what);
        // The bad record alone, and in the additional section after a good answer: either way nothing
        // of the answer is used.
        const Bytes alone = Header(1) + kQuestion + bad.make(32);
        const Bytes after = Header(1, 1) + kQuestion + good + bad.make(static_cast<std::uint8_t>(32 + good.size()));
        for (const Bytes& message : {alone, after}) {
            const auto answer = ParseAnswer(message);
            ASSERT_TRUE(answer);
            EXPECT_FALSE(answer->complete);
            EXPECT_TRUE(answer->answers.empty());
            EXPECT_TRUE(answer->authority.empty());
            EXPECT_TRUE(answer->additional.empty());
        }
    }
    // Without a readable header and question there is no answer at all.
    EXPECT_FALSE(ParseAnswer(Bytes(11, 0)));
    EXPECT_FALSE(ParseAnswer(Header(0) + Bytes{2, 'm', 'x', 0, 0, 15}));
    EXPECT_FALSE(ParseAnswer(Header(0) + Bytes{0xC0, 12, 0, 1, 0, 1}));
}

}  // namespace
}  // namespace pw::dns
