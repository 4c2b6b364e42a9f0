// SEARCH -- the criteria parsed whole, then every message of the selected mailbox tested
// in order, its file read only when a key needs its header or body. With RETURN (RFC 4731) the
// result is one "* ESEARCH" line of the options asked for; SAVE (RFC 5182) keeps it as "$".
#include "imap/ImapCommands.h"

#include "imap/ImapStore.h"
#include "imap/ImapStrings.h"
#include "imap/SearchKeys.h"
#include "imap/SelectedMailbox.h"
#include "imap/StoredMessage.h"
#include "m5/M5Charsets.h"
#include "platform/Text.h"

namespace pw::imap::commands {

namespace {

// One message under test: the header and the text of its body read the first time a key asks.
class MessageUnderTest final : public SearchSubject {
public:
    MessageUnderTest(CommandContext& context, std::size_t index)
        : context_(context), entry_(context.mailbox.view.messages[index]),
          keywords_(context.mailbox.view.KeywordsOf(entry_.keywords)), index_(index) {}

    const MessageEntry& Entry() const override { return entry_; }
    const Keywords& EntryKeywords() const override { return keywords_; }
    std::size_t Index() const override { return index_; }

    const mime::HeaderBlock* Header() override {
        if (!header_ && Read(false)) {
            const m5::M5PartDesc* top = message_.Part(0);
            std::string_view text;
            if (top != nullptr && m5::M5GetBytes(message_.Structure(), top->header, text) == m5::M5STS_SUCCESS) {
                header_.emplace();
                (void)header_->Parse(text);  // what a header over the limits holds up to there is searched
            }
        }
        return header_ ? &*header_ : nullptr;
    }

    const std::string* BodyText() override {
        if (!body_ && Read(true)) body_ = TextParts();
        return body_ ? &*body_ : nullptr;
    }

private:
    // The message through the parser: its header alone, or the whole walk for the body.
    bool Read(bool whole) {
        if (failed_) return false;
        if (message_.IsOpen() && (message_.Walked() || !whole)) return true;
        const bool opened = message_.IsOpen() || message_.Open(context_.store, *context_.mailbox.folder, entry_.uid) == StoredMessage::Opened::Ok;
        const m5::M5Status status = !opened ? m5::M5STS_READ_ERROR : whole ? message_.Walk(context_.parser) : message_.ReadHeader(context_.parser);
        if (status != m5::M5STS_SUCCESS && status != m5::M5STS_LIMIT_REACHED) {
            ImapLog('E', Format("IMAP4_Search:  Cannot load message file \"%s\"", {std::string_view(message_.Path())}));
            failed_ = true;
            return false;
        }
        return true;
    }

    // The text parts, decoded from their transfer encoding, converted to UTF-8 and folded, one after
    // another: folded once here, however many keys read them.
    std::string TextParts() const {
        const m5::M5MessageHandle walked = message_.Structure();
        std::string text;
        std::size_t count = 0;
        (void)m5::M5GetPartCount(walked, count);
        for (std::size_t number = 0; number < count; ++number) {
            const m5::M5PartDesc* part = message_.Part(number);
            if (part == nullptr || part->multipart || part->type != "text") continue;
            std::string body;
            if (m5::M5GetPartBody(walked, number, m5::M5Delivery::Decoded, body) != m5::M5STS_SUCCESS) continue;
            std::string converted;
            const bool declared = part->charset != "us-ascii";
            if (!declared || !m5::M5ConvertNamedToUtf8(part->charset, body, converted)) converted = m5::M5UndeclaredToUtf8(body);
            text += FoldCase(converted);
            text += '\n';
        }
        return text;
    }

    CommandContext& context_;
    const MessageEntry& entry_;
    const Keywords& keywords_;
    std::size_t index_;
    StoredMessage message_;
    bool failed_ = false;
    std::optional<mime::HeaderBlock> header_;
    std::optional<std::string> body_;
};

// SEARCH's RETURN options. Without RETURN the answer is RFC 3501's "* SEARCH" line.
struct ReturnOptions {
    bool extended = false;
    bool min = false;
    bool max = false;
    bool count = false;
    bool all = false;
    bool save = false;
};

// Takes "RETURN (...)" off the front of the arguments; nullopt with the BAD diagnostic set.
std::optional<ReturnOptions> TakeReturnOptions(CommandContext& context, std::vector<Argument>& arguments) {
    ReturnOptions options;
    if (arguments.empty() || arguments[0].kind != ArgumentKind::Atom || !EqualsNoCase(arguments[0].text, "RETURN")) return options;
    if (arguments.size() < 2 || arguments[1].kind != ArgumentKind::List) {
        context.Bad("SEARCH RETURN must be followed by a list of options");
        return std::nullopt;
    }
    options.extended = true;
    for (const Argument& option : arguments[1].items) {
        const std::string name = option.kind == ArgumentKind::Atom ? ToUpperAscii(option.text) : std::string();
        if (name == "SAVE") {
            options.save = true;
        } else if (name == "MIN") {
            options.min = true;
        } else if (name == "MAX") {
            options.max = true;
        } else if (name == "COUNT") {
            options.count = true;
        } else if (name == "ALL") {
            options.all = true;
        } else {
            context.Bad("SEARCH RETURN option unknown:  " + option.text.substr(0, 40));
            const auto& items = arguments[1].items;
            const bool save = std::any_of(items.begin(), items.end(), [](const Argument& a) { return EqualsNoCase(a.text, "SAVE"); });
            if (save) context.mailbox.view.saved.clear();
            return std::nullopt;
        }
    }
    // "RETURN ()" is ALL (RFC 4731 3.1).
    if (!options.min && !options.max && !options.count && !options.save) options.all = true;
    arguments.erase(arguments.begin(), arguments.begin() + 2);
    return options;
}

// The "* ESEARCH" line: MIN, MAX and ALL only when something matched, COUNT always when asked.
std::string ExtendedResult(const Command& command, const ReturnOptions& options, const std::vector<std::uint32_t>& found) {
    std::string line = "ESEARCH (TAG " + ImapString(command.tag) + ")";
    if (command.uid) line += " UID";
    if (!found.empty() && options.min) line += " MIN " + std::to_string(found.front());
    if (!found.empty() && options.max) line += " MAX " + std::to_string(found.back());
    if (options.count) line += " COUNT " + std::to_string(found.size());
    if (!found.empty() && options.all) line += " ALL " + UidSet(found);
    return line;
}

// RFC 5182 2.1: a SEARCH that was to save and failed leaves "$" empty, not as it was. Cleared only
// at the end, since "$" in the criteria names the result saved before.
class ClearSavedUnlessDone {
public:
    explicit ClearSavedUnlessDone(MessageVector& view, bool armed) : view_(view), armed_(armed) {}
    ~ClearSavedUnlessDone() {
        if (armed_) view_.saved.clear();
    }
    void Done() { armed_ = false; }

private:
    MessageVector& view_;
    bool armed_;
};

// What SAVE keeps (RFC 5182 2.4): the whole result, but only the minimum and maximum when those are
// all that was asked besides SAVE.
std::vector<std::uint32_t> SavedResult(const ReturnOptions& options, std::vector<std::uint32_t> uids) {
    if (options.all || options.count || (!options.min && !options.max) || uids.empty()) return uids;
    std::vector<std::uint32_t> kept;
    if (options.min) kept.push_back(uids.front());
    if (options.max && (kept.empty() || kept.back() != uids.back())) kept.push_back(uids.back());
    return kept;
}

}  // namespace

void Search(CommandContext& context) {
    const Command& command = context.command;
    MessageVector& view = context.mailbox.view;
    std::vector<Argument> arguments = command.arguments;
    const auto options = TakeReturnOptions(context, arguments);
    if (!options) return;
    ClearSavedUnlessDone saveGuard(view, options->save);
    SearchRefusal refusal;
    auto criteria = ParseSearch(arguments, refusal);
    if (!criteria) return refusal.bad ? context.Bad(refusal.reply) : context.No(refusal.reply);
    // Message sets become the messages they name, now, against the mailbox as the client knows it.
    std::string diagnostic;
    std::function<bool(SearchKey&)> resolve = [&](SearchKey& key) {
        if (key.kind == SearchKey::Kind::Set) {
            if (!view.Select(key.set, key.uid, diagnostic)) return false;
            key.members.clear();
            for (const MessageEntry& entry : view.messages) key.members.push_back(entry.selected);
        }
        return std::all_of(key.children.begin(), key.children.end(), resolve);
    };
    if (!resolve(*criteria)) return context.Bad(diagnostic);
    if ((criteria->NeedsHeader() || criteria->NeedsBody()) && !context.parser.Open()) return context.No("Server internal error with message");

    const bool trace = context.session.debugMask & (1u << static_cast<unsigned>(CommandId::Search));
    const auto total = std::uint64_t{view.messages.size()};
    auto nextProgress = std::chrono::steady_clock::now() + std::chrono::milliseconds(100 * context.session.progressTenths);
    std::vector<std::uint32_t> found;
    std::vector<std::uint32_t> uids;
    for (std::size_t i = 0; i < view.messages.size(); ++i) {
        const MessageEntry& entry = view.messages[i];
        if (trace) context.replies.Connection().WriteLine(Format("** Seaching message #%u, ID %lu", {std::uint64_t{i + 1}, std::uint64_t{entry.uid}}));
        MessageUnderTest subject(context, i);
        if (Matches(*criteria, subject)) {
            found.push_back(command.uid ? entry.uid : static_cast<std::uint32_t>(i + 1));
            if (options->save) uids.push_back(entry.uid);
        }
        if (context.session.progressTenths != 0 && std::chrono::steady_clock::now() >= nextProgress) {
            context.Untagged(Format("PROGRESS %lu/%lu", {std::uint64_t{i + 1}, total}));
            context.replies.Connection().Flush();
            nextProgress = std::chrono::steady_clock::now() + std::chrono::milliseconds(100 * context.session.progressTenths);
        }
    }
    if (options->save) view.saved = SavedResult(*options, std::move(uids));
    saveGuard.Done();
    if (!options->extended) {
        std::string line = "SEARCH";
        for (const std::uint32_t number : found) line += " " + std::to_string(number);
        context.Untagged(line);
    } else if (options->min || options->max || options->count || options->all) {
        // SAVE alone answers nothing but the tagged OK (RFC 5182 2.1).
        context.Untagged(ExtendedResult(command, *options, found));
    }
    context.SetReply("OK SEARCH completed");
}

}  // namespace pw::imap::commands
