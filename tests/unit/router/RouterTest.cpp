// Router: whole routings against a real store in a scratch directory -- local users, a forward and
// unknown recipients of one envelope with their one notice, remote recipients grouped per domain into
// "_Out", a message quota over deliveries and removals, the progress an error leaves in the queued
// record, and the router threads at start-up with the marks a dead process left behind.
//
// The suite is named "router_..." so that the discovered names match the "-R router" filter.
#include "router/Router.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "TestSupport.h"
#include "core/Configuration.h"
#include "platform/EventLog.h"
#include "router/Notifications.h"
#include "router/RouterQueue.h"
#include "store/UidCounter.h"

namespace pw::router {
namespace {

// The longest a test waits for the router threads to finish a routing.
constexpr std::chrono::seconds kBound{30};

// The notices the router makes, kept instead of sent.
class RecordingNotifier : public DeliveryNotifier {
public:
    struct Notice {
        std::string sender;
        double uid = 0;
        std::vector<FailedRecipient> failed;
    };

    void Notify(const store::Envelope& original, const std::vector<FailedRecipient>& failed) override {
        std::lock_guard guard(lock_);
        notices_.push_back({original.Sender(), original.UID(), failed});
    }
    std::vector<Notice> Notices() const {
        std::lock_guard guard(lock_);
        return notices_;
    }

private:
    mutable std::mutex lock_;
    std::vector<Notice> notices_;
};

class router_RouterTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_ = store::MessageStore::OpenOrCreate(scratch_ / "store");
        store::SetServerStorePath(store_->RootPath());
        core::ServerConfig().Set(store::kPrimaryDomainKey, Variant::Text("example.com"));
        auto mailboxes = store_->GetDomains()->Add("example.com")->GetMailBoxes();
        mailboxes->Add("john", store::UserMailBoxType);
        mailboxes->Add("mary", store::UserMailBoxType);
        auto forward = mailboxes->Add("fwd", store::ForwardMailBoxType);
        forward->GetProperties().SetItem("alias:fwdtoaddrs", Variant::Text("mary@example.com"));
        forward->Update();
        SetDeliveryNotifier(notifier_);
        SetEventWriter([this](int, std::string_view text) {
            std::lock_guard guard(eventsLock_);
            events_.emplace_back(text);
        });
    }
    void TearDown() override {
        StopRouters();
        auto& queue = RouterQueue::Instance();
        while (const auto uid = queue.Take(std::chrono::milliseconds(0))) queue.Done(*uid);
        SetDeliveryNotifier(nullptr);
        SetEventWriter(nullptr);
        SetSpamAssassinCheck(nullptr);
        for (const char* key : {"sys:spam:sa:enabled", "sys:spam:sa:report_hdr", "sys:spam:action", "sys:spam:preappend"}) {
            core::ServerConfig().Remove(key);
        }
        store::SetServerStorePath("");
    }

    // A published envelope in "_In" (not submitted).
    double Queue(const std::vector<std::string>& recipients, std::string_view content = kContent) {
        auto envelope = store_->InFolder()->GetEnvelopes()->Add();
        ThrowIfFailed(envelope->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE)->Write(content));
        envelope->SetSender("sender@remote.test");
        for (const auto& recipient : recipients) envelope->GetRecipients().Add(recipient);
        envelope->Update();
        return envelope->UID();
    }

    static std::string Content(const store::Envelope& envelope) {
        return test::ReadFileText(envelope.FolderStorage().ElementPath(envelope.Stem() + ".eml"));
    }

    // The envelopes of a folder, oldest first.
    static std::vector<std::shared_ptr<store::Envelope>> EnvelopesOf(const store::Folder& folder) {
        std::vector<std::shared_ptr<store::Envelope>> all;
        const auto envelopes = folder.GetEnvelopes();
        while (auto envelope = envelopes->Next()) all.push_back(std::move(envelope));
        return all;
    }
    std::vector<std::shared_ptr<store::Envelope>> Inbox(std::string_view address) const {
        return EnvelopesOf(*store_->FindMailBox(address)->InFolder());
    }
    std::vector<std::shared_ptr<store::Envelope>> Queued() const { return EnvelopesOf(*store_->InFolder()); }

    static bool WaitUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    static constexpr std::string_view kContent = "From: sender@remote.test\r\nSubject: hello\r\n\r\nbody\r\n";

    test::ScratchDirectory scratch_;
    std::shared_ptr<store::MessageStore> store_;
    std::shared_ptr<RecordingNotifier> notifier_ = std::make_shared<RecordingNotifier>();
    std::mutex eventsLock_;
    std::vector<std::string> events_;
};

using Addresses = std::vector<std::string>;

TEST_F(router_RouterTest, LocalUserForwardAndUnknownRecipientsOfOneEnvelopeMakeOneNotice) {
    const double uid = Queue({"john@example.com", "Fwd@Example.com", "nobody@example.com", "ghost@EXAMPLE.com"});
    Router router;
    router.RouteEnvelope(uid);

    EXPECT_EQ(store_->InFolder()->GetEnvelopes()->FindEnvelope(uid), nullptr) << "the routed envelope stays queued";
    const auto john = Inbox("john@example.com");
    ASSERT_EQ(john.size(), 1u);
    EXPECT_EQ(john[0]->GetRecipients().All(), Addresses{"john@example.com"});
    EXPECT_EQ(john[0]->Sender(), "sender@remote.test");
    EXPECT_EQ(Content(*john[0]), kContent);

    // The forward is a new queued envelope, one hop further, that remembers where it was expanded.
    EXPECT_TRUE(Inbox("mary@example.com").empty());
    const auto queued = Queued();
    ASSERT_EQ(queued.size(), 1u);
    const auto& forwarded = *queued[0];
    EXPECT_EQ(forwarded.GetRecipients().All(), Addresses{"mary@example.com"});
    EXPECT_EQ(forwarded.Sender(), "sender@remote.test");
    EXPECT_EQ(forwarded.GetProperties().Number(kHopsKey), 1);
    EXPECT_EQ(forwarded.GetProperties().Text(kExpandedKey), "fwd@example.com");
    EXPECT_EQ(Content(forwarded), kContent);
    const auto submitted = RouterQueue::Instance().Take(std::chrono::milliseconds(0));
    ASSERT_TRUE(submitted.has_value());
    EXPECT_EQ(*submitted, forwarded.UID());

    // Both unknown recipients in one notice to the sender, each with its status, named in their domain.
    auto notices = notifier_->Notices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].sender, "sender@remote.test");
    EXPECT_EQ(notices[0].uid, uid);
    ASSERT_EQ(notices[0].failed.size(), 2u);
    EXPECT_EQ(notices[0].failed[0].address, "ghost@example.com");
    EXPECT_EQ(notices[0].failed[1].address, "nobody@example.com");
    for (const auto& failed : notices[0].failed) {
        EXPECT_EQ(failed.status, "5.1.1");
        EXPECT_NE(failed.reason.find("No such mailbox"), std::string::npos) << failed.reason;
    }

    // Routing the forward delivers it and makes no notice of its own.
    router.RouteEnvelope(*submitted);
    RouterQueue::Instance().Done(*submitted);
    const auto mary = Inbox("mary@example.com");
    ASSERT_EQ(mary.size(), 1u);
    EXPECT_EQ(mary[0]->GetRecipients().All(), Addresses{"mary@example.com"});
    EXPECT_EQ(Content(*mary[0]), kContent);
    EXPECT_EQ(Inbox("john@example.com").size(), 1u);
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(notifier_->Notices().size(), 1u);
}

TEST_F(router_RouterTest, DelayAndFailureNoticesReachOnlyRecipientsThatAskedForThemOrAskedNothing) {
    const Addresses all{"plain@remote.test", "never@remote.test", "delay@remote.test", "failure@remote.test"};
    const auto envelope = store_->InFolder()->GetEnvelopes()->FindEnvelope(Queue(all));
    for (const auto& [address, notify] : {std::pair{"never@remote.test", "NEVER"}, {"delay@remote.test", "SUCCESS,DELAY"},
                                          {"failure@remote.test", "FAILURE"}}) {
        envelope->GetProperties().SetItem(store::RecipientKey(address, "notify"), Variant::Text(notify));
    }
    NotifySender(*envelope, "4.4.7", all, "delayed");
    NotifySender(*envelope, "5.4.7", all, "given up");
    NotifySender(*envelope, "5.1.1", {"never@remote.test"}, "refused");
    const auto notices = notifier_->Notices();
    ASSERT_EQ(notices.size(), 2u) << "a notice nobody is to get is not made";
    const auto names = [](const RecordingNotifier::Notice& notice) {
        Addresses addresses;
        for (const auto& failed : notice.failed) addresses.push_back(failed.address);
        return addresses;
    };
    EXPECT_EQ(names(notices[0]), (Addresses{"plain@remote.test", "delay@remote.test"}));
    EXPECT_EQ(names(notices[1]), (Addresses{"plain@remote.test", "failure@remote.test"}));
}

TEST_F(router_RouterTest, RemoteRecipientsAreGroupedIntoOneOutboundEnvelopePerDomain) {
    const double uid = Queue({"a@remote.test", "john@example.com", "B@Remote.TEST", "c@other.test", "d@remote.test"});
    Router router;
    router.RouteEnvelope(uid);

    const auto out = store_->OutFolder()->GetFolders();
    EXPECT_EQ(out->Names(), (Addresses{"other.test", "remote.test"}));
    const auto remote = EnvelopesOf(*out->Item("remote.test"));
    ASSERT_EQ(remote.size(), 1u);
    EXPECT_EQ(remote[0]->GetRecipients().All(), (Addresses{"a@remote.test", "B@Remote.TEST", "d@remote.test"}));
    EXPECT_EQ(remote[0]->Sender(), "sender@remote.test");
    EXPECT_EQ(Content(*remote[0]), kContent);
    const auto other = EnvelopesOf(*out->Item("other.test"));
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0]->GetRecipients().All(), Addresses{"c@other.test"});
    EXPECT_EQ(Inbox("john@example.com").size(), 1u);
    EXPECT_TRUE(Queued().empty());
    EXPECT_TRUE(notifier_->Notices().empty());
    EXPECT_FALSE(RouterQueue::Instance().Take(std::chrono::milliseconds(0)).has_value()) << "nothing was re-injected";
}

TEST_F(router_RouterTest, AMessageQuotaCountsDeliveriesAndRemovalsBetweenThem) {
    auto john = store_->FindMailBox("john@example.com");
    john->GetProperties().SetItem("user:quota:nummsgs", Variant::I4(2));
    john->Update();
    Router router;
    router.RouteEnvelope(Queue({"john@example.com"}));
    router.RouteEnvelope(Queue({"john@example.com"}));
    ASSERT_EQ(Inbox("john@example.com").size(), 2u);
    const double refused = Queue({"john@example.com"});
    router.RouteEnvelope(refused);
    EXPECT_EQ(Inbox("john@example.com").size(), 2u) << "a third message went over the quota";
    const auto notices = notifier_->Notices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].uid, refused);
    ASSERT_EQ(notices[0].failed.size(), 1u);
    EXPECT_EQ(notices[0].failed[0].status, "5.2.2");

    // A message removed (as a client's expunge does) makes room at once.
    ASSERT_TRUE(john->InFolder()->GetEnvelopes()->RemoveEnvelope(Inbox("john@example.com")[0]->UID()));
    router.RouteEnvelope(Queue({"john@example.com"}));
    EXPECT_EQ(Inbox("john@example.com").size(), 2u);
    EXPECT_EQ(notifier_->Notices().size(), 1u);
}

TEST_F(router_RouterTest, AnErrorLeavesOnlyTheRecipientsNotYetServedQueuedAndARetryServesNobodyTwice) {
    // A mailbox whose inbox can not be made again: a file stands where its directory was.
    auto broken = store_->GetDomains()->Item("example.com")->GetMailBoxes()->Add("broken", store::UserMailBoxType);
    const std::string inbox = broken->Storage().ElementPath(store::kInFolderName);
    std::filesystem::remove_all(inbox);
    test::WriteFileText(inbox, "not a folder");
    const double uid = Queue({"john@example.com", "broken@example.com", "mary@example.com", "x@remote.test"});
    Router router;
    // Recipients are routed from the last to the first: the remote one and mary are served first.
    EXPECT_THROW(router.RouteEnvelope(uid), ComError);
    const auto left = store_->InFolder()->GetEnvelopes()->FindEnvelope(uid);
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left->GetRecipients().All(), (Addresses{"john@example.com", "broken@example.com"}));
    EXPECT_EQ(Inbox("mary@example.com").size(), 1u);
    EXPECT_TRUE(Inbox("john@example.com").empty());
    EXPECT_EQ(EnvelopesOf(*store_->OutFolder()->GetFolders()->Item("remote.test")).size(), 1u);
    EXPECT_TRUE(notifier_->Notices().empty());

    std::filesystem::remove(inbox);
    router.RouteEnvelope(uid);
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(Inbox("john@example.com").size(), 1u);
    const auto repaired = Inbox("broken@example.com");
    ASSERT_EQ(repaired.size(), 1u);
    EXPECT_EQ(repaired[0]->GetRecipients().All(), Addresses{"broken@example.com"});
    EXPECT_EQ(Inbox("mary@example.com").size(), 1u);
    EXPECT_EQ(EnvelopesOf(*store_->OutFolder()->GetFolders()->Item("remote.test")).size(), 1u);
    EXPECT_TRUE(notifier_->Notices().empty());
}

TEST_F(router_RouterTest, RouterThreadsHoldAMessageCutOffTwiceAndRouteOneCutOffOnce) {
    // Marks as the router threads of a process that died left them: each names the envelope in hand.
    const double twice = Queue({"john@example.com"}, "Subject: twice\r\n\r\n");
    {
        auto envelope = store_->InFolder()->GetEnvelopes()->FindEnvelope(twice);
        envelope->GetProperties().SetItem(kInterruptedKey, Variant::I4(1));
        envelope->Update();
    }
    const double once = Queue({"john@example.com"}, "Subject: once\r\n\r\n");
    const DirStorage queue = store_->InFolder()->Storage();
    test::WriteFileText(queue.ElementPath("router0.mark"), store::UidStem(twice) + "\n");
    test::WriteFileText(queue.ElementPath("router1.mark"), store::UidStem(once) + "\n");

    StartRouters(1);
    EXPECT_EQ(ResubmitQueued(*store_), 1u) << "the held message is no longer queued";
    ASSERT_TRUE(WaitUntil([&] { return Queued().empty(); }));
    StopRouters();

    const auto john = Inbox("john@example.com");
    ASSERT_EQ(john.size(), 1u);
    EXPECT_EQ(Content(*john[0]), "Subject: once\r\n\r\n");
    EXPECT_EQ(john[0]->GetProperties().Number(kInterruptedKey), 1);
    const auto held = store_->GetFolders()->Item(kHeldFolderName);
    ASSERT_NE(held, nullptr);
    const auto kept = EnvelopesOf(*held);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(Content(*kept[0]), "Subject: twice\r\n\r\n");
    EXPECT_EQ(kept[0]->GetRecipients().All(), Addresses{"john@example.com"});
    {
        std::lock_guard guard(eventsLock_);
        ASSERT_EQ(events_.size(), 1u);
        EXPECT_NE(events_[0].find(store::UidStem(twice)), std::string::npos) << events_[0];
    }
    // The old marks are gone; the thread's own names nothing once its routing ended.
    EXPECT_FALSE(test::FileExists(queue.ElementPath("router1.mark")));
    EXPECT_EQ(test::FileExists(queue.ElementPath("router0.mark")) ? test::ReadFileText(queue.ElementPath("router0.mark")) : "", "");
    EXPECT_TRUE(notifier_->Notices().empty());
}

// SpamAssassin through a check of the test's own: what it is handed, and what its verdicts do to the
// message -- the folded report (a sender's own dropped), the marked subject, the clean mark, no
// verdict, and a header too large to rewrite.
TEST_F(router_RouterTest, SpamAssassinsVerdictsMarkReportAndLeaveUnjudgedWithoutOne) {
    auto& config = core::ServerConfig();
    config.Set("sys:spam:sa:enabled", Variant::Bool(true));
    config.Set("sys:spam:sa:report_hdr", Variant::Bool(true));
    config.Set("sys:spam:action", Variant::I4(2));
    config.Set("sys:spam:preappend", Variant::Text("[SA] "));
    std::mutex lock;
    std::vector<std::pair<std::string, bool>> asked;
    SetSpamAssassinCheck([&](std::string_view message, bool withReport) -> std::optional<antispam::SpamAssassinVerdict> {
        std::lock_guard guard(lock);
        asked.emplace_back(std::string(message), withReport);
        if (message.find("no verdict") != std::string_view::npos) return std::nullopt;
        const bool spam = message.find("buy now") != std::string_view::npos;
        return antispam::SpamAssassinVerdict{spam, spam ? 9.5 : 1.25, 5.0, " pts rule\n 9.5 OFFER x\nlast"};
    });
    const std::string tail(60000, 'x');
    const double spam = Queue({"john@example.com"}, "X-SpamAssassin-Report: forged\r\nSubject: hello\r\n\r\nbuy now\r\n");
    const double clean = Queue({"john@example.com"}, "Subject: minutes\r\n\r\nsee you\r\n" + tail);
    const double unjudged = Queue({"john@example.com"}, "Subject: later\r\n\r\nno verdict\r\n");
    std::string huge;
    for (int i = 0; i < 5100; ++i) huge += "X: a\r\n";  // past the parser's field limit, inside the bytes judged
    const double crowded = Queue({"john@example.com"}, huge + "Subject: crowded\r\n\r\nbuy now\r\n");
    Router router;
    for (const double uid : {spam, clean, unjudged, crowded}) router.RouteEnvelope(uid);

    ASSERT_EQ(asked.size(), 4u);
    EXPECT_TRUE(asked[0].second);
    EXPECT_EQ(asked[1].first.size(), antispam::kSpamAssassinBytes);
    const auto inbox = Inbox("john@example.com");
    ASSERT_EQ(inbox.size(), 4u);
    EXPECT_EQ(Content(*inbox[0]), "Subject: [SA] hello\r\nX-SpamAssassin-Report: pts rule\r\n\t9.5 OFFER x\r\n\tlast\r\n\r\nbuy now\r\n");
    EXPECT_EQ(inbox[0]->GetProperties().Number(store::kSpamStatusKey), 1);
    EXPECT_EQ(Content(*inbox[1]), "Subject: minutes\r\nX-SpamAssassin-Report: pts rule\r\n\t9.5 OFFER x\r\n\tlast\r\n\r\nsee you\r\n" + tail);
    EXPECT_EQ(inbox[1]->GetProperties().Number(store::kSpamStatusKey), 2);
    EXPECT_EQ(Content(*inbox[2]), "Subject: later\r\n\r\nno verdict\r\n");
    EXPECT_EQ(inbox[2]->GetProperties().Number(store::kSpamStatusKey), 0);
    // Rewriting would have dropped the fields past the parser's limit: the message stays whole, judged.
    EXPECT_EQ(Content(*inbox[3]), huge + "Subject: crowded\r\n\r\nbuy now\r\n");
    EXPECT_EQ(inbox[3]->GetProperties().Number(store::kSpamStatusKey), 1);

    // Without its switch the check is not asked.
    config.Set("sys:spam:sa:enabled", Variant::Bool(false));
    Router quiet;
    quiet.RouteEnvelope(Queue({"john@example.com"}, "Subject: off\r\n\r\nbuy now\r\n"));
    EXPECT_EQ(asked.size(), 4u);
}

}  // namespace
}  // namespace pw::router
