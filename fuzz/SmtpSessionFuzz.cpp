// Fuzz target: an SMTP client may send anything, in any order, and hang up anywhere. The session
// must answer without crashing and end at the end of the stream; every message it acknowledged after
// DATA must be published in "_In" and queued for the router, and a transaction cut off anywhere must
// leave no file behind.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include "SessionFuzzSupport.h"
#include "router/RouterQueue.h"
#include "smtp/SmtpServerSession.h"

namespace {

using namespace pw;

// The reply to DATA's end once the message is safe; MAIL, RCPT and RSET answer other "250" lines.
constexpr std::string_view kAccepted = "250 Requested mail action okay, completed\r\n";

std::shared_ptr<net::SMTPListener> MakeListener() {
    auto listener = std::make_shared<net::SMTPListener>();
    listener->timeout = fuzz::kSessionTimeoutSeconds;
    listener->welcome = "Pellworth test instance\r\nno relaying without a password";
    // Small limits, so that a short input reaches them.
    listener->maxSizeKb = 2;
    listener->maxRecipients = 3;
    listener->smtpAuth = true;
    listener->pop3Auth = true;
    listener->authAccounts = {{"relay", "relaypass"}};
    listener->relayList.Add(INADDR_LOOPBACK, 0);  // not the fuzz client, which must authenticate to relay
    return listener;
}

std::set<std::string> FileNames(const std::string& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) names.insert(entry.path().filename().string());
    return names;
}

std::size_t Count(std::string_view text, std::string_view what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto& shared = fuzz::SharedSessionStore();
    static const auto listener = MakeListener();
    static const auto inFolder = shared.store->InFolder();
    static const std::set<std::string> emptyIn = FileNames(inFolder->Storage().Path());

    const std::string replies = fuzz::Converse({data, size}, listener, [](std::shared_ptr<net::ConnectionTicket> ticket) {
        smtp::SmtpServerSession(std::move(ticket)).Run();
    });

    std::set<double> queued;
    auto& queue = router::RouterQueue::Instance();
    while (const auto uid = queue.Take(std::chrono::milliseconds(0))) {
        queued.insert(*uid);
        queue.Done(*uid);
    }
    const auto envelopes = inFolder->GetEnvelopes();
    const auto published = envelopes->Uids();
    if (published.size() != queued.size() || !std::equal(published.begin(), published.end(), queued.begin())) __builtin_trap();
    if (Count(replies, kAccepted) != published.size()) __builtin_trap();
    for (const double uid : published) envelopes->RemoveEnvelope(uid);
    if (FileNames(inFolder->Storage().Path()) != emptyIn) __builtin_trap();
    return 0;
}
