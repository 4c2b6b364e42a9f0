// RFC 5256's REFERENCES threading over messages given directly: each case is checked by the exact
// thread-data THREAD would send.
#include "imap/ThreadReferences.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pw::imap {
namespace {

constexpr std::size_t kIdBytes = 250;

// Message `number`, sent at second `sent`; header fields as a client would write them.
ThreadMessage Mail(std::uint32_t number, std::string_view messageId, std::string_view references, std::string_view subject,
                   std::int64_t sent, bool reply = false, std::string_view inReplyTo = "") {
    ThreadMessage message;
    message.number = number;
    message.messageId = FirstMessageId(messageId, kIdBytes);
    message.references = MessageIds(references, 100, kIdBytes);
    message.inReplyTo = FirstMessageId(inReplyTo, kIdBytes);
    message.baseSubject = std::string(subject);
    message.replyOrForward = reply;
    message.sent = sent;
    return message;
}

std::string Threads(const std::vector<ThreadMessage>& messages) {
    ReferencesThreader threader;
    for (const ThreadMessage& message : messages) threader.Add(message);
    return FormatThreads(threader.Finish());
}

TEST(imap_ThreadReferencesTest, MessageIdsAreReadThroughCommentsQuotesAndFoldsAndBounded) {
    EXPECT_EQ(MessageIds(" <a@x> (a <comment@y>) \"q <quoted@y>\"\r\n\t<b\r\n @x> <\"c d\"@x> <no-at> <@x> <e@> <<f@x>", 10, kIdBytes),
              (std::vector<std::string>{"a@x", "b@x", "c d@x", "f@x"}));
    EXPECT_EQ(MessageIds("<1@x> <2@x> <3@x> <4@x>", 2, kIdBytes), (std::vector<std::string>{"3@x", "4@x"}));
    EXPECT_EQ(MessageIds("<a@x> <" + std::string(300, 'y') + "@x> <b@x", 10, kIdBytes), (std::vector<std::string>{"a@x"}));
    EXPECT_EQ(FirstMessageId("junk <bad> <first@x> <second@x>", kIdBytes), "first@x");
    EXPECT_EQ(FirstMessageId("first@x", kIdBytes), "");
}

TEST(imap_ThreadReferencesTest, MissingParentsBecomeDummiesThatArePrunedByTheRules) {
    EXPECT_EQ(Threads({
                  Mail(1, "<a@x>", "", "a", 1),
                  // Two children of a message nobody has: a dummy at the top level keeps them together.
                  Mail(2, "<b@x>", "<missing@x>", "b", 2),
                  Mail(3, "<c@x>", "<missing@x>", "c", 3),
                  // One child of a missing message, and one below two missing ones, stand alone.
                  Mail(4, "<d@x>", "<gone@x>", "d", 4),
                  Mail(5, "<e@x>", "<p1@x> <p2@x>", "e", 5),
                  // A missing message below the top level gives its place to its children.
                  Mail(6, "<f@x>", "", "f", 6),
                  Mail(7, "<g@x>", "<f@x> <hole@x>", "g", 7),
                  Mail(8, "<h@x>", "<f@x> <hole@x>", "h", 8),
              }),
              "(1)((2)(3))(4)(5)(6 (7)(8))");
    // In-Reply-To stands in only where References names no valid id, with its first id.
    EXPECT_EQ(Threads({
                  Mail(1, "<a@x>", "", "a", 1),
                  Mail(2, "<b@x>", "", "b", 2, false, "<a@x>"),
                  Mail(3, "<c@x>", "no ids here", "c", 3, false, "\"Ann\" <a@x> <b@x>"),
                  Mail(4, "<d@x>", "<b@x>", "d", 4, false, "<a@x>"),
              }),
              "(1 (2 4)(3))");
}

TEST(imap_ThreadReferencesTest, LoopsInReferencesAreNeverLinked) {
    EXPECT_EQ(Threads({
                  // Each names the other as its parent: the second link would close a loop.
                  Mail(1, "<a@x>", "<b@x>", "a", 1),
                  Mail(2, "<b@x>", "<a@x>", "b", 2),
                  // A message that names itself, and References that go round.
                  Mail(3, "<c@x>", "<c@x>", "c", 3),
                  Mail(4, "<d@x>", "<e@x> <f@x> <e@x>", "d", 4),
                  Mail(5, "<g@x>", "<g@x> <h@x> <g@x>", "g", 5),
              }),
              "(2 1)(3)(4)(5)");
}

TEST(imap_ThreadReferencesTest, DuplicateAndMissingMessageIdsGetIdsOfTheirOwn) {
    EXPECT_EQ(Threads({
                  Mail(1, "<a@x>", "", "a", 1),
                  Mail(2, "<a@x>", "", "b", 2),  // the later one of an id stands alone
                  Mail(3, "<c@x>", "<a@x>", "c", 3),
                  Mail(4, "<d@x>", "<z@x>", "d", 4),
                  Mail(5, "<z@x>", "", "e", 5),  // takes the dummy its reply made
                  Mail(6, "<z@x>", "<a@x>", "f", 6),
                  Mail(7, "", "<z@x>", "g", 7),
                  Mail(8, "not an id", "", "h", 8),
              }),
              "(1 (3)(6))(2)(5 (4)(7))(8)");
}

TEST(imap_ThreadReferencesTest, ThreadsWithOneBaseSubjectAreGathered) {
    // A reply at the top level goes under the thread that is not one, even an older reply under a
    // newer original; two originals meet under a dummy, and later messages of the subject join it.
    EXPECT_EQ(Threads({
                  Mail(1, "<1@x>", "", "hello", 1, true),
                  Mail(2, "<2@x>", "", "hello", 2),
                  Mail(3, "<3@x>", "", "hello", 3),
                  Mail(4, "<4@x>", "", "hello", 4, true),
                  Mail(5, "<5@x>", "", "other", 5),
              }),
              "((2 1)(3)(4))(5)");
    // A dummy takes the table's place; another dummy of the subject hands over its children; an empty
    // subject gathers nothing.
    EXPECT_EQ(Threads({
                  Mail(1, "<1@x>", "", "topic", 1),
                  Mail(2, "<2@x>", "<m1@x>", "topic", 2),
                  Mail(3, "<3@x>", "<m1@x>", "topic", 3, true),
                  Mail(4, "<4@x>", "<m2@x>", "topic", 4),
                  Mail(5, "<5@x>", "<m2@x>", "topic", 5),
                  Mail(6, "<6@x>", "", "topic", 6, true),
                  Mail(7, "<7@x>", "", "", 7),
                  Mail(8, "<8@x>", "", "", 8),
              }),
              "((1)(2)(3)(4)(5)(6))(7)(8)");
}

TEST(imap_ThreadReferencesTest, SiblingsGoBySentDateADummyByItsFirstChildTiesByMailboxOrder) {
    EXPECT_EQ(Threads({
                  Mail(1, "<a@x>", "", "a", 100),
                  Mail(2, "<b@x>", "<a@x>", "b", 300),
                  Mail(3, "<c@x>", "<a@x>", "c", 200),
                  Mail(4, "<d@x>", "<a@x>", "d", 200),
                  Mail(5, "<e@x>", "<gone@x>", "e", 400),
                  Mail(6, "<f@x>", "<gone@x>", "f", 50),
                  Mail(7, "<g@x>", "", "g", 100),
              }),
              "((6)(5))(1 (3)(4)(2))(7)");
}

TEST(imap_ThreadReferencesTest, LongChainsAndDeepBranchesNeedNoStack) {
    constexpr std::uint32_t kCount = 50000;
    // Each message replies to the one before, naming its last three ancestors.
    std::vector<ThreadMessage> chain;
    std::string expected = "(";
    for (std::uint32_t n = 1; n <= kCount; ++n) {
        std::string references;
        for (std::uint32_t a = n > 3 ? n - 3 : 1; a < n; ++a) references += "<" + std::to_string(a) + "@chain> ";
        chain.push_back(Mail(n, "<" + std::to_string(n) + "@chain>", references, "chain", n, n > 1));
        expected += (n > 1 ? " " : "") + std::to_string(n);
    }
    expected += ")";
    EXPECT_EQ(Threads(chain), expected);

    // The same chain with every reply before its parent in the mailbox.
    chain.clear();
    expected = "(";
    for (std::uint32_t n = 1; n <= kCount; ++n) {
        chain.push_back(Mail(n, "<" + std::to_string(n) + "@back>", "<" + std::to_string(n + 1) + "@back>", "back", n));
        expected += (n > 1 ? " " : "") + std::to_string(kCount + 1 - n);
    }
    chain.back().references.clear();
    expected += ")";
    EXPECT_EQ(Threads(chain), expected);

    // A spine of 25,000 messages, each with a second child beside the next: lists nest 25,000 deep.
    constexpr std::uint32_t kLevels = kCount / 2;
    std::vector<ThreadMessage> comb = {Mail(1, "<s1@comb>", "", "s1", 1)};
    expected = "(1 ";
    for (std::uint32_t k = 2; k <= kLevels; ++k) {
        const std::string parent = "<s" + std::to_string(k - 1) + "@comb>";
        comb.push_back(Mail(2 * k - 2, "<s" + std::to_string(k) + "@comb>", parent, "s" + std::to_string(k), 2 * k - 2));
        comb.push_back(Mail(2 * k - 1, "<l" + std::to_string(k) + "@comb>", parent, "l" + std::to_string(k), 2 * k - 1));
        if (k < kLevels) expected += "(" + std::to_string(2 * k - 2) + " ";
    }
    expected += "(" + std::to_string(2 * kLevels - 2) + ")(" + std::to_string(2 * kLevels - 1) + ")";
    for (std::uint32_t k = kLevels - 1; k >= 2; --k) expected += ")(" + std::to_string(2 * k - 1) + ")";
    expected += ")";
    EXPECT_EQ(Threads(comb), expected);
}

}  // namespace
}  // namespace pw::imap
