// SEARCH -- the criteria parsed whole, then every message of the selected mailbox tested in order, its
// file read only when a key needs its header or body. With RETURN (RFC 4731) the result is one
// "* ESEARCH" line of the options asked for; SAVE (RFC 5182) keeps it as "$". What SORT and THREAD
// (ImapSort.cpp) share with it is declared in SearchCommand.h and defined here.
#include "imap/SearchCommand.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <functional>

#include "imap/ImapCommands.h"
#include "imap/ImapStrings.h"
#include "imap/SelectedMailbox.h"
#include "m5/M5Charsets.h"
#include "m5/M5Descriptors.h"
#include "platform/Text.h"

namespace pw::imap::commands {

MessageUnderTest::MessageUnderTest(CommandContext& context, std::size_t index)
    : context_(context), entry_(context.mailbox.view.Entry(index)), keywords_(context.mailbox.view.ShownKeywords(index)), index_(index) {}

const mime::HeaderBlock* MessageUnderTest::Header() {
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

const std::string* MessageUnderTest::BodyText() {
    if (!body_ && Read(true)) body_ = TextParts();
    return body_ ? &*body_ : nullptr;
}

// The message through the parser: its header alone, or the whole walk for the body.
bool MessageUnderTest::Read(bool whole) {
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

void AnswerFound(CommandContext& context, std::string_view word, const ReturnOptions& options, const std::vector<std::uint32_t>& found,
                 std::uint64_t highest) {
    if (!options.extended) {
        std::string line(word);
        line.reserve(line.size() + found.size() * 7);
        for (const std::uint32_t number : found) {
            char digits[12];
            line += ' ';
            line.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
        }
        if (highest != 0) line += Format(" (MODSEQ %lu)", {highest});
        context.Untagged(line);
    } else if (options.min || options.max || options.count || options.all) {
        // SAVE alone answers nothing but the tagged OK (RFC 5182 2.1).
        std::string line = ExtendedResult(context.command, options, found);
        if (highest != 0) line += Format(" MODSEQ %lu", {highest});
        context.Untagged(line);
    }
}

std::string MessageUnderTest::EmailId() {
    if (failed_ || (!message_.IsOpen() && message_.Open(context_.store, *context_.mailbox.folder, entry_.uid) != StoredMessage::Opened::Ok)) return {};
    FileIdentity identity;
    return Succeeded(message_.File().Identity(identity)) ? ObjectId('M', identity) : std::string();
}

// The text parts, decoded from their transfer encoding, converted to UTF-8 and folded, one after
// another: folded once here, however many keys read them.
std::string MessageUnderTest::TextParts() const {
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

std::optional<ReturnOptions> TakeReturnOptions(CommandContext& context, std::vector<Argument>& arguments, std::string_view name) {
    ReturnOptions options;
    if (arguments.empty() || arguments[0].kind != ArgumentKind::Atom || !EqualsNoCase(arguments[0].text, "RETURN")) return options;
    if (arguments.size() < 2 || arguments[1].kind != ArgumentKind::List) {
        context.Bad(std::string(name) + " RETURN must be followed by a list of options");
        return std::nullopt;
    }
    options.extended = true;
    for (const Argument& option : arguments[1].items) {
        const std::string word = option.kind == ArgumentKind::Atom ? ToUpperAscii(option.text) : std::string();
        if (word == "SAVE") {
            options.save = true;
        } else if (word == "MIN") {
            options.min = true;
        } else if (word == "MAX") {
            options.max = true;
        } else if (word == "COUNT") {
            options.count = true;
        } else if (word == "ALL") {
            options.all = true;
        } else {
            context.Bad(std::string(name) + " RETURN option unknown:  " + option.text.substr(0, 40));
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

std::string ExtendedResult(const Command& command, const ReturnOptions& options, const std::vector<std::uint32_t>& found) {
    std::string line = "ESEARCH (TAG " + ImapString(command.tag) + ")";
    if (command.uid) line += " UID";
    if (!found.empty() && options.min) line += " MIN " + std::to_string(found.front());
    if (!found.empty() && options.max) line += " MAX " + std::to_string(found.back());
    if (options.count) line += " COUNT " + std::to_string(found.size());
    // UidSet joins only runs that go up by one, so SORT's order stands as it is (RFC 5267 3.2).
    if (!found.empty() && options.all) line += " ALL " + UidSet(found);
    return line;
}

std::vector<std::uint32_t> SavedResult(const ReturnOptions& options, std::vector<std::uint32_t> uids) {
    if (options.all || options.count || (!options.min && !options.max) || uids.empty()) return uids;
    std::vector<std::uint32_t> kept;
    if (options.min) kept.push_back(uids.front());
    if (options.max && (kept.empty() || kept.back() != uids.back())) kept.push_back(uids.back());
    return kept;
}

std::optional<std::vector<std::size_t>> MatchingMessages(CommandContext& context, const std::vector<Argument>& arguments, bool* modseq) {
    MessageVector& view = context.mailbox.view;
    SearchRefusal refusal;
    auto criteria = ParseSearch(arguments, refusal);
    if (!criteria) return refusal.bad ? context.Bad(refusal.reply) : context.No(refusal.reply), std::nullopt;
    if (criteria->UsesModseq()) context.mailbox.EnableCondstore();
    if (modseq) *modseq = criteria->UsesModseq();
    // Message sets become the messages they name, now, against the mailbox as the client knows it.
    std::string diagnostic;
    std::function<bool(SearchKey&)> resolve = [&](SearchKey& key) {
        if (key.kind == SearchKey::Kind::Set) {
            if (!view.Select(key.set, key.uid, diagnostic)) return false;
            key.members.clear();
            for (std::size_t i = 0; i < view.Count(); ++i) key.members.push_back(view.IsSelected(i));
        }
        return std::all_of(key.children.begin(), key.children.end(), resolve);
    };
    if (!resolve(*criteria)) return context.Bad(diagnostic), std::nullopt;
    if ((criteria->NeedsHeader() || criteria->NeedsBody()) && !context.parser.Open()) return context.No("Server internal error with message"), std::nullopt;

    const bool trace = context.session.debugMask & (1u << static_cast<unsigned>(CommandId::Search));
    const auto total = std::uint64_t{view.Count()};
    auto nextProgress = std::chrono::steady_clock::now() + std::chrono::milliseconds(100 * context.session.progressTenths);
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < view.Count(); ++i) {
        if (trace) context.replies.Connection().WriteLine(Format("** Seaching message #%u, ID %lu", {std::uint64_t{i + 1}, std::uint64_t{view.Uid(i)}}));
        MessageUnderTest subject(context, i);
        if (Matches(*criteria, subject)) found.push_back(i);
        if (context.session.progressTenths != 0 && std::chrono::steady_clock::now() >= nextProgress) {
            context.Untagged(Format("PROGRESS %lu/%lu", {std::uint64_t{i + 1}, total}));
            context.replies.Connection().Flush();
            nextProgress = std::chrono::steady_clock::now() + std::chrono::milliseconds(100 * context.session.progressTenths);
        }
    }
    return found;
}

std::uint64_t HighestModseq(const MessageVector& view, const ReturnOptions& options, const std::vector<std::size_t>& matching) {
    std::uint64_t highest = 0;
    if (matching.empty()) return 0;
    if (!options.extended || options.all || options.count) {
        for (const std::size_t i : matching) highest = std::max(highest, view.Modseq(i));
    } else {
        if (options.min) highest = std::max(highest, view.Modseq(matching.front()));
        if (options.max) highest = std::max(highest, view.Modseq(matching.back()));
    }
    return highest;
}

void Search(CommandContext& context) {
    const Command& command = context.command;
    MessageVector& view = context.mailbox.view;
    std::vector<Argument> arguments = command.arguments;
    const auto options = TakeReturnOptions(context, arguments, "SEARCH");
    if (!options) return;
    ClearSavedUnlessDone saveGuard(view, options->save);
    bool modseq = false;
    const auto matching = MatchingMessages(context, arguments, &modseq);
    if (!matching) return;
    // With MODSEQ among the criteria, the highest mod-sequence of the messages the answer names.
    const std::uint64_t highest = modseq ? HighestModseq(view, *options, *matching) : 0;
    std::vector<std::uint32_t> found;
    std::vector<std::uint32_t> uids;
    for (const std::size_t i : *matching) {
        found.push_back(command.uid ? view.Uid(i) : static_cast<std::uint32_t>(i + 1));
        if (options->save) uids.push_back(view.Uid(i));
    }
    if (options->save) view.saved = SavedResult(*options, std::move(uids));
    saveGuard.Done();
    AnswerFound(context, "SEARCH", *options, found, highest);
    context.SetReply("OK SEARCH completed");
}

}  // namespace pw::imap::commands
