// MessageTemplate: template texts and attachments, and the delivery status notices built from dsn.xml.
#include "templates/MessageTemplate.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "core/Configuration.h"
#include "store/MessageStore.h"

namespace pw::templates {
namespace {

std::string WriteTemplate(const test::ScratchDirectory& scratch, std::string_view body) {
    const std::string path = scratch / "t.xml";
    test::WriteFileBytes(path, test::Bytes().Ascii(body).Get());
    return path;
}

TEST(MessageTemplateTest, WithoutHtmlTheBodyIsOneQuotedPrintableTextAndYesInCapitalsAttachesTheOriginal) {
    test::ScratchDirectory scratch;
    MessageTemplate plain;
    ASSERT_TRUE(plain.Load(WriteTemplate(scratch, "<t><subject>Re: $SUBJECT$</subject><plaintext>Hello $SENDER$ =</plaintext></t>")));
    auto message = ComposeFromTemplate(plain, {{"$SUBJECT$", "hi"}, {"$SENDER$", "a@b.c"}}, "Subject: hi\r\n\r\nbody\r\n");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->Subject(), "Re: hi");
    EXPECT_EQ(message->CountParts(), 0u);
    EXPECT_EQ(message->ContentTransferEncoding(), "quoted-printable");
    EXPECT_EQ(message->BodyText(), "Hello a@b.c =3D\r\n");
    EXPECT_EQ(message->HeaderField("Auto-Submitted"), "auto-generated");

    MessageTemplate attaching;
    ASSERT_TRUE(attaching.Load(WriteTemplate(scratch, "<t><plaintext>x</plaintext><attach_message>YES</attach_message></t>")));
    auto withOriginal = ComposeFromTemplate(attaching, {}, "Subject: hi\r\n\r\nbody\r\n");
    ASSERT_TRUE(withOriginal);
    EXPECT_EQ(withOriginal->SearchForPart("message/rfc822", {}), (mime::PartPosition{1}));
    EXPECT_FALSE(MessageTemplate().Load(scratch / "missing.xml"));
}

TEST(MessageTemplateTest, NoticeForTwoRecipientsHasTwoBlocksAndNoAttemptCountWithoutARetryRecord) {
    test::ScratchDirectory scratch;
    const auto messageStore = store::MessageStore::OpenOrCreate(scratch.Path());
    store::SetServerStorePath(messageStore->RootPath());
    auto original = messageStore->InFolder()->GetEnvelopes()->Add();
    original->SetSender("sender@example.org");
    {
        auto content = original->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
        ASSERT_TRUE(Succeeded(content->Write(std::string_view("Subject: lost\r\n\r\nbody\r\n"))));
    }
    original->Update();
    std::vector<DsnRecipient> recipients(2);
    recipients[0].address = "one@remote.test";
    recipients[0].statusSubject = 1;
    recipients[0].statusDetail = 1;
    recipients[1].address = "two@remote.test";
    recipients[1].diagnostic = "550 5.1.1 unknown";
    // The notice names the primary domain; the process-wide setting is this test's own while it runs
    // (tests before it may have left one).
    core::ServerConfig().Set(store::kPrimaryDomainKey, Variant::Text("notices.test"));
    const auto uid = SendNotification(*original, recipients, DsnFailed, std::nullopt);
    core::ServerConfig().Remove(store::kPrimaryDomainKey);
    ASSERT_TRUE(uid) << "dsn.xml must travel beside the test binary";
    const auto notice = messageStore->InFolder()->GetEnvelopes()->FindEnvelope(*uid);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->Sender(), "");
    EXPECT_EQ(notice->GetRecipients().All(), std::vector<std::string>{"sender@example.org"});
    mime::Message message;
    notice->GetContent(message);
    const std::string text = message.SaveToString();
    EXPECT_NE(text.find("report-type=delivery-status"), std::string::npos);
    EXPECT_EQ(text.find("Reporting-MTA: dns; notices.test\r\n\r\nOriginal-Recipient: rfc822; one@remote.test"), text.find("Reporting-MTA"));
    EXPECT_NE(text.find("\r\n\r\nOriginal-Recipient: rfc822; two@remote.test"), std::string::npos);
    EXPECT_EQ(text.find("Diagnostic-Code"), text.rfind("Diagnostic-Code")) << "only the second recipient has one";
    EXPECT_NE(text.find("The message could not be delivered."), std::string::npos) << "text 107 without a retry record";

    // Automatic mail never gets a notice.
    auto automatic = messageStore->InFolder()->GetEnvelopes()->Add();
    automatic->SetSender("robot@example.org");
    {
        auto content = automatic->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
        ASSERT_TRUE(Succeeded(content->Write(std::string_view("Auto-Submitted: auto-replied\r\n\r\nx\r\n"))));
    }
    automatic->Update();
    EXPECT_FALSE(SendNotification(*automatic, recipients, DsnFailed, std::nullopt));
    store::SetServerStorePath("");
}

TEST(MessageTemplateTest, SubstitutionTakesValuesAsTheyAreAndCapsBoundTheNoticeOfAHostileHeader) {
    // One pass over the template's own text: what a value brings in is never replaced.
    EXPECT_EQ(Substitute("$A$ $B$ $$B$ $C$ $", {{"$A$", "$B$"}, {"$B$", "x"}}), "$B$ x $x $C$ $");
    EXPECT_EQ(BoundedLines("one\r\ntwo\r\nthree", 9), "one\r\n");
    EXPECT_EQ(BoundedValue("a\xC3\xA9", 2), "a") << "never half a UTF-8 sequence";

    // A header of about 39 KB: a long date and lines full of the placeholders a notice fills in.
    test::ScratchDirectory scratch;
    const auto messageStore = store::MessageStore::OpenOrCreate(scratch.Path());
    store::SetServerStorePath(messageStore->RootPath());
    std::string header = "Subject: $HEADER$ $MSGDATE$ $SUBJECT$\r\nDate: " + std::string(8000, 'd') + "\r\n";
    while (header.size() < 39000) header += "X-Fill: $MSGDATE$ $HEADER$ $SUBJECT$ $MSGDATE$ $SENDER$ $MSGDATE$\r\n";
    auto original = messageStore->InFolder()->GetEnvelopes()->Add();
    original->SetSender("sender@example.org");
    {
        auto content = original->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
        ASSERT_TRUE(Succeeded(content->Write(std::string_view(header + "\r\nbody\r\n"))));
    }
    original->Update();
    std::vector<DsnRecipient> recipients(1);
    recipients[0].address = "nobody@example.org";
    const auto uid = SendNotification(*original, recipients, DsnFailed, std::nullopt);
    ASSERT_TRUE(uid);
    const auto notice = messageStore->InFolder()->GetEnvelopes()->FindEnvelope(*uid);
    ASSERT_TRUE(notice);
    EXPECT_LT(notice->ContentSize(), 100u * 1024);
    mime::Message message;
    notice->GetContent(message);
    EXPECT_LE(message.Subject().size(), 600u);

    // A header that quoted-printable would triple is quoted in part: the notice stays small.
    std::string eightBit = "Subject: x\r\n";
    while (eightBit.size() < 60000) eightBit += "X-Fill: " + std::string(100, '=') + std::string(100, '\xE9') + "\r\n";
    auto heavy = messageStore->InFolder()->GetEnvelopes()->Add();
    heavy->SetSender("sender@example.org");
    {
        auto content = heavy->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
        ASSERT_TRUE(Succeeded(content->Write(std::string_view(eightBit + "\r\nbody\r\n"))));
    }
    heavy->Update();
    const auto heavyNotice = SendNotification(*heavy, recipients, DsnFailed, std::nullopt);
    ASSERT_TRUE(heavyNotice);
    EXPECT_LT(messageStore->InFolder()->GetEnvelopes()->FindEnvelope(*heavyNotice)->ContentSize(), 100u * 1024);

    // A large original is attached by its header alone; a small one whole.
    MessageTemplate attaching;
    const std::string path = scratch / "a.xml";
    test::WriteFileBytes(path, test::Bytes().Ascii("<t><plaintext>$HEADER$</plaintext><attach_message>yes</attach_message></t>").Get());
    ASSERT_TRUE(attaching.Load(path));
    const std::string large = "Subject: big\r\n\r\n" + std::string(kMaxAttachedOriginal, 'x');
    auto composed = ComposeFromTemplate(attaching, {{"$HEADER$", BoundedLines(header, kMaxQuotedHeader)}}, large);
    ASSERT_TRUE(composed);
    EXPECT_EQ(composed->SearchForPart("text/rfc822-headers", {}), (mime::PartPosition{1}));
    EXPECT_LT(composed->SaveToString().size(), 100u * 1024);
    store::SetServerStorePath("");
}

}  // namespace
}  // namespace pw::templates
