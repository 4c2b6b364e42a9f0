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

// The replies that say a message is safe: DATA's end, which follows its "354" at once (no command is
// answered in between), and BDAT's last chunk. NOOP and RSET share the text of DATA's reply, so it
// counts only after "354".
constexpr std::string_view kAcceptedAfterData =
    "354 Start mail input; end with <CRLF>.<CRLF>\r\n250 2.0.0 Requested mail action okay, completed\r\n";
constexpr std::string_view kAcceptedAfterChunks = "250 2.0.0 Message stored\r\n";

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
    if (Count(replies, kAcceptedAfterData) + Count(replies, kAcceptedAfterChunks) != published.size()) __builtin_trap();
    for (const double uid : published) envelopes->RemoveEnvelope(uid);
    if (FileNames(inFolder->Storage().Path()) != emptyIn) __builtin_trap();
    return 0;
}
