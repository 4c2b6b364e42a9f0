// Fuzz target: a POP3 client may send anything, in any order, and hang up anywhere. The session must
// answer without crashing, end at the end of the stream, remove messages only at QUIT, and give the
// maildrop up however it ends: the next conversation must never find the box still held.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "SessionFuzzSupport.h"
#include "pop3/Pop3Session.h"

namespace {

using namespace pw;

constexpr std::size_t kMessages = 2;

// A header with a folded line, lines that start with a dot, a bare LF and a line longer than a buffer.
std::string FirstMessage() {
    return "From: Sender <sender@example.org>\r\nTo: john@example.com\r\nSubject: first\r\n\tfolded\r\n\r\n"
           "Hello John,\r\n.\r\n..two dots\r\nbare\nline feed\r\n" +
           std::string(5000, 'x') + "\r\nbye\r\n";
}

// A header without a body, and without a line end at the very end.
std::string SecondMessage() { return "From: sender@example.org\r\nSubject: second"; }

std::shared_ptr<store::Folder> Inbox() {
    return fuzz::SharedSessionStore().store->FindMailBox(std::string(fuzz::kUser) + "@" + std::string(fuzz::kDomain))->InFolder();
}

// The maildrop holds the two messages again, whatever the last conversation deleted.
void RestoreMaildrop(store::Folder& inbox) {
    const auto envelopes = inbox.GetEnvelopes();
    if (envelopes->Count() == kMessages) return;
    for (const double uid : envelopes->Uids()) envelopes->RemoveEnvelope(uid);
    fuzz::AddMessage(inbox, FirstMessage());
    fuzz::AddMessage(inbox, SecondMessage());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto listener = [] {
        auto made = std::make_shared<net::ServerListener>(core::POP3ServerType, 110);
        made->timeout = fuzz::kSessionTimeoutSeconds;
        return made;
    }();
    static const auto inbox = Inbox();
    RestoreMaildrop(*inbox);

    const std::string replies = fuzz::Converse({data, size}, listener, [](std::shared_ptr<net::ConnectionTicket> ticket) {
        pop3::Pop3Session(std::move(ticket)).Run();
    });
    if (replies.find("-ERR Can not lock box") != std::string::npos) __builtin_trap();
    // Deletions are marks until QUIT: a session that ended otherwise removed nothing.
    if (inbox->GetEnvelopes()->Count() != kMessages && replies.find("+OK Done") == std::string::npos) __builtin_trap();
    return 0;
}
