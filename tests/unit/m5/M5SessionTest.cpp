// M5Session: the calls IMAP makes -- sessions, files, header-only reads, handles and diagnostics.
#include "m5/M5Session.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace pw::m5 {
namespace {

std::string ReadAll(M5MessageHandle message, std::size_t part, M5Delivery delivery) {
    std::string out;
    std::byte buffer[5];
    for (std::size_t read = 0;;) {
        EXPECT_EQ(M5ReadPart(message, part, delivery, buffer, read), M5STS_SUCCESS);
        if (read == 0) break;
        out.append(reinterpret_cast<const char*>(buffer), read);
    }
    return out;
}

TEST(M5SessionTest, OpensFilesReadsPartsAndRefusesDeadHandles) {
    test::ScratchDirectory scratch;
    const std::string text =
        "Subject: first\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n\r\nx=3Dy\r\n--b\r\nContent-Type: message/rfc822\r\n\r\n"
        "Subject: inside\r\n\r\nbody\r\n";  // no closing delimiter
    test::WriteFileText(scratch / "m.eml", text);

    M5SessionHandle refused;
    EXPECT_EQ(M5OpenSession(std::string(45, 'n'), 0, refused), M5STS_NAME_TOO_LONG);
    std::vector<std::string> seen;
    M5SessionHandle session;
    ASSERT_EQ(M5OpenSession(kM5ImapSessionName, M5_FLAG_CONVERT | M5_FLAG_DEBUG, session,
                            [&](std::string_view line) { seen.emplace_back(line); }),
              M5STS_SUCCESS);
    M5MessageHandle message;
    ASSERT_EQ(M5OpenFiledMessage(session, scratch / "m.eml", message), M5STS_SUCCESS);
    EXPECT_EQ(seen, std::vector<std::string>{"M5 closing MIME boundary missing"});

    const M5PartDesc* root = nullptr;
    ASSERT_EQ(M5GetMessageDesc(message, root), M5STS_SUCCESS);
    EXPECT_EQ(root->children.size(), 2U);
    std::size_t count = 0;
    ASSERT_EQ(M5GetPartCount(message, count), M5STS_SUCCESS);
    EXPECT_EQ(count, 4U);
    EXPECT_EQ(ReadAll(message, 1, M5Delivery::Decoded), "x=y");
    EXPECT_EQ(ReadAll(message, 1, M5Delivery::Raw), "x=3Dy");
    EXPECT_EQ(ReadAll(message, 3, M5Delivery::Decoded), "body\r\n");

    const M5EnvelopeDesc* envelope = nullptr;
    ASSERT_EQ(M5OpenEnvelope(message, envelope), M5STS_SUCCESS);
    EXPECT_EQ(envelope->subject, "first");
    ASSERT_EQ(M5GetEnvelopeDesc(message, 2, envelope), M5STS_SUCCESS);
    EXPECT_EQ(envelope->subject, "inside");
    EXPECT_EQ(M5GetEnvelopeDesc(message, 1, envelope), M5STS_INVALID_HANDLE);  // not an embedded message
    const M5PartDesc* desc = nullptr;
    EXPECT_EQ(M5GetMimeDesc(message, 4, desc), M5STS_INVALID_HANDLE);

    // A header read from the middle of a file.
    test::WriteFileText(scratch / "two.mbx", "junk before\r\nSubject: second\r\nFrom: a@b.c\r\n\r\nbody");
    M5MessageHandle header;
    ASSERT_EQ(M5ReadEnvelope(session, scratch / "two.mbx", 13, header), M5STS_SUCCESS);
    ASSERT_EQ(M5OpenEnvelope(header, envelope), M5STS_SUCCESS);
    EXPECT_EQ(envelope->subject, "second");
    EXPECT_EQ(envelope->from.at(0).domain, "b.c");
    EXPECT_EQ(M5ReadEnvelope(session, scratch / "two.mbx", 1000, header), M5STS_READ_ERROR);
    M5MessageHandle missing;
    EXPECT_EQ(M5OpenFiledMessage(session, scratch / "none.eml", missing), M5STS_READ_ERROR);

    ASSERT_EQ(M5CloseMessage(message), M5STS_SUCCESS);
    EXPECT_EQ(M5CloseMessage(message), M5STS_INVALID_HANDLE);
    EXPECT_EQ(M5GetMessageDesc(message, root), M5STS_INVALID_HANDLE);
    EXPECT_EQ(M5GetMessageDesc(M5MessageHandle{987654321}, root), M5STS_INVALID_HANDLE);
    std::size_t read = 0;
    EXPECT_EQ(M5ReadPart(message, 0, M5Delivery::Raw, {}, read), M5STS_INVALID_HANDLE);

    // Closing the session closes what it still holds.
    ASSERT_EQ(M5CloseSession(session), M5STS_SUCCESS);
    EXPECT_EQ(M5OpenEnvelope(header, envelope), M5STS_INVALID_HANDLE);
    EXPECT_EQ(M5CloseSession(session), M5STS_INVALID_HANDLE);
    EXPECT_EQ(M5OpenMessageBytes(session, "x", missing), M5STS_INVALID_HANDLE);
}

TEST(M5SessionTest, LimitReachedStillOpensTheMessage) {
    M5SessionHandle session;
    ASSERT_EQ(M5OpenSession("limits", 0, session), M5STS_SUCCESS);
    std::string deep;
    for (int i = 0; i < 60; ++i) deep += "Content-Type: message/rfc822\r\n\r\n";
    M5MessageHandle message;
    ASSERT_EQ(M5OpenMessageBytes(session, deep, message), M5STS_LIMIT_REACHED);
    const M5EnvelopeDesc* envelope = nullptr;
    EXPECT_EQ(M5GetEnvelopeDesc(message, 1, envelope), M5STS_SUCCESS);
    // The stored message is itself message/rfc822: part 0 has the stored envelope and an embedded one.
    const M5EnvelopeDesc* own = nullptr;
    ASSERT_EQ(M5GetEnvelopeDesc(message, 0, own), M5STS_SUCCESS);
    ASSERT_EQ(M5GetEmbeddedEnvelopeDesc(message, 0, envelope), M5STS_SUCCESS);
    EXPECT_EQ(own->part, 0U);
    EXPECT_EQ(envelope->part, 1U);
    EXPECT_EQ(M5CloseSession(session), M5STS_SUCCESS);
}

TEST(M5SessionTest, SessionsOnThreadsKeepTheirOwnMessages) {
    // Each thread opens and closes messages in its own session while the others do; a handle of one
    // session is never another's, and closing one session leaves the others' messages open.
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    std::vector<M5MessageHandle> kept(kThreads);
    std::vector<M5SessionHandle> sessions(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures, &kept, &sessions] {
            if (M5OpenSession("thread " + std::to_string(t), 0, sessions[t]) != M5STS_SUCCESS) ++failures[t];
            const std::string subject = "s" + std::to_string(t);
            for (int round = 0; round < kRounds; ++round) {
                M5MessageHandle message;
                if (M5OpenMessageBytes(sessions[t], "Subject: " + subject + "\r\n\r\nx", message) != M5STS_SUCCESS) ++failures[t];
                const M5EnvelopeDesc* envelope = nullptr;
                if (M5OpenEnvelope(message, envelope) != M5STS_SUCCESS || envelope->subject != subject) ++failures[t];
                if (round + 1 == kRounds) {
                    kept[t] = message;
                } else if (M5CloseMessage(message) != M5STS_SUCCESS) {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
    ASSERT_EQ(M5CloseSession(sessions[0]), M5STS_SUCCESS);
    const M5EnvelopeDesc* envelope = nullptr;
    EXPECT_EQ(M5OpenEnvelope(kept[0], envelope), M5STS_INVALID_HANDLE);
    for (int t = 1; t < kThreads; ++t) {
        ASSERT_EQ(M5OpenEnvelope(kept[t], envelope), M5STS_SUCCESS);
        EXPECT_EQ(envelope->subject, "s" + std::to_string(t));
        EXPECT_EQ(M5CloseSession(sessions[t]), M5STS_SUCCESS);
    }
}

}  // namespace
}  // namespace pw::m5
