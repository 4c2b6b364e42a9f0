// Pop3Client: status lines, listings and messages of a POP3 conversation.
#include "net/Pop3Client.h"

#include <optional>
#include <vector>

#include "platform/Text.h"

namespace pw::net {

namespace {

// A listing entry ("n uid", uids at most 70 characters) fits easily; longer lines are no entries.
constexpr std::size_t kListingLine = 512;
// A listing that runs on past this is no server's honest answer: the conversation is given up.
constexpr std::size_t kMaxListingLines = 1'000'000;

}  // namespace

bool Pop3Client::Ok() {
    status_ = connection_.ReadLineText();
    return StartsWithNoCase(status_, "+OK");
}

bool Pop3Client::Open(const IpAddress& address, std::uint16_t port) {
    Connect(address, port);
    return Ok();
}

void Pop3Client::Connect(const IpAddress& address, std::uint16_t port) { connection_.ConnectAddress(address, port); }

void Pop3Client::StartTls(std::string_view peerName) { connection_.TlsClientStart(peerName); }

bool Pop3Client::Login(std::string_view user, std::string_view password) {
    return Command("USER " + std::string(user)) && Command("PASS " + std::string(password));
}

bool Pop3Client::Command(std::string_view command) {
    connection_.SendString(std::string(command) + "\r\n");
    return Ok();
}

bool Pop3Client::Listing(std::string_view command, const std::function<void(std::string_view line)>& line) {
    if (!Command(command)) return false;
    std::vector<char> buffer(kListingLine);
    for (std::size_t count = 0;; ++count) {
        if (count > kMaxListingLines) {
            connection_.Close();
            throw CnwSocketErr(-1, "the listing of \"" + std::string(command) + "\" does not end", 10053);
        }
        const std::optional<std::size_t> length = connection_.ReadBoundedLine(buffer.data(), buffer.size());
        if (!length) continue;
        std::string_view text(buffer.data(), *length);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
        if (text == ".") return true;
        if (!text.empty() && text.front() == '.') text.remove_prefix(1);
        line(text);
    }
}

bool Pop3Client::Retrieve(std::uint32_t number, const std::function<void(std::string_view piece, bool lineStart)>& piece) {
    if (!Command("RETR " + std::to_string(number))) return false;
    // One byte more than a piece, for the LF of a piece that filled up to its CR.
    std::vector<char> buffer(kPop3ReadPiece + 1);
    bool atLineStart = true;
    for (;;) {
        std::size_t length = connection_.ReadLine(buffer.data(), buffer.size());
        if (length + 1 == buffer.size() && connection_.TakeLineFeedAfter(buffer[length - 1])) buffer[length++] = '\n';
        std::string_view text(buffer.data(), length);
        const bool lineStart = atLineStart;
        atLineStart = !text.empty() && text.back() == '\n';
        if (lineStart && (text == ".\r\n" || text == ".\n")) return true;
        if (lineStart && !text.empty() && text.front() == '.') text.remove_prefix(1);
        piece(text, lineStart);
    }
}

void Pop3Client::Quit() { connection_.SendString("QUIT\r\n"); }

bool Pop3Client::QuitConfirmed() { return Command("QUIT"); }

}  // namespace pw::net
