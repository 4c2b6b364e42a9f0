// Fuzz target: the IMAP command reader must turn any byte stream into commands, refusals or an end,
// without crashing, reading past its input or keeping more than its limit of any one command; and
// every command it hands out must hold only what the stream sent. A FETCH command's items go through
// the item parser, whose sections must hold together (a partial count is never 0), and a SEARCH
// command's criteria through the key parser, which answers a tree or a refusal.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "imap/FetchItems.h"
#include "imap/ImapCommandReader.h"
#include "imap/ImapLimits.h"
#include "imap/SearchKeys.h"

namespace {

using pw::imap::CommandSource;

class BytesSource final : public CommandSource {
public:
    explicit BytesSource(std::string_view bytes) : bytes_(bytes) {}
    Status ReadByte(char& byte, std::chrono::seconds) override {
        if (at_ == bytes_.size()) return Status::Closed;
        byte = bytes_[at_++];
        return Status::Ok;
    }
    Status SendContinuation(std::string_view) override { return Status::Ok; }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

// Takes APPEND's message literals as the session does: some accepted, some refused, some fatal.
class CountingSink final : public pw::imap::LiteralSink {
public:
    Verdict Open(const pw::imap::Command&, std::uint64_t length, std::string& refusal) override {
        if (length > 4096) return refusal = "too large", Verdict::RefuseAndClose;
        if (length % 3 == 0) return refusal = "refused", Verdict::Refuse;
        expected_ = length;
        received_ = 0;
        return Verdict::Accept;
    }
    void Write(std::string_view bytes) override {
        received_ += bytes.size();
        if (received_ > expected_) __builtin_trap();  // more than the literal announced
    }

private:
    std::uint64_t expected_ = 0;
    std::uint64_t received_ = 0;
};

std::size_t Size(const pw::imap::Argument& argument) {
    std::size_t size = argument.text.size();
    for (const auto& item : argument.items) size += Size(item);
    return size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BytesSource source(std::string_view(reinterpret_cast<const char*>(data), size));
    pw::imap::CommandReader reader(source);
    CountingSink sink;
    reader.SetLiteralSink(&sink);
    // A small limit, so that inputs reach it.
    reader.SetLimit(size % 2 ? 512 : pw::imap::kMaxCommandBytesBeforeLogin);
    for (;;) {
        const auto read = reader.Read(std::chrono::seconds(1));
        using Outcome = pw::imap::CommandRead::Outcome;
        if (read.outcome == Outcome::Closed || read.outcome == Outcome::Fatal || read.outcome == Outcome::TimedOut) break;
        if (read.outcome != Outcome::Command) continue;
        std::size_t total = read.command.tag.size();
        for (const auto& argument : read.command.arguments) total += Size(argument);
        if (total > size || read.command.tag.size() > pw::imap::kMaxTagLength) __builtin_trap();
        if (read.command.name == "FETCH" && read.command.arguments.size() == 2) {
            pw::imap::FetchRefusal refusal;
            const auto request = pw::imap::ParseFetchItems(read.command.arguments[1], refusal);
            if (!request && refusal.reply.empty()) __builtin_trap();
            for (const auto& item : request ? request->items : std::vector<pw::imap::FetchItem>{}) {
                if (item.section.origin && item.section.count == 0) __builtin_trap();
                (void)item.ResponseName();
            }
        }
        if (read.command.name == "SEARCH") {
            pw::imap::SearchRefusal refusal;
            const auto criteria = pw::imap::ParseSearch(read.command.arguments, refusal);
            if (!criteria && refusal.reply.empty()) __builtin_trap();
            if (criteria) (void)criteria->NeedsBody();
        }
    }
    return 0;
}
