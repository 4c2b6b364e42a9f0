// SearchCommand: what SEARCH (ImapSearch.cpp) shares with SORT and THREAD (ImapSort.cpp) -- a message
// read only as far as its keys need, the matching of search criteria against the selected mailbox,
// and the RETURN options of RFC 4731 (ESEARCH), RFC 5267 (ESORT) and RFC 5182 (SAVE) with the
// "* ESEARCH" line they answer with.
// Thread safety: a command's own values; everything here belongs to one session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "imap/ImapContext.h"
#include "imap/SearchKeys.h"
#include "imap/StoredMessage.h"
#include "mime/HeaderBlock.h"

namespace pw::imap::commands {

// One message of the selected mailbox: its header and the text of its body read the first time a
// key asks for them.
class MessageUnderTest final : public SearchSubject {
public:
    MessageUnderTest(CommandContext& context, std::size_t index);

    const MessageEntry& Entry() const override { return entry_; }
    const Keywords& EntryKeywords() const override { return keywords_; }
    std::size_t Index() const override { return index_; }
    // The header as stored (null when the message can not be read).
    const mime::HeaderBlock* Header() override;
    const std::string* BodyText() override;
    std::string EmailId() override;

private:
    bool Read(bool whole);
    std::string TextParts() const;

    CommandContext& context_;
    MessageEntry entry_;
    const Keywords& keywords_;
    std::size_t index_;
    StoredMessage message_;
    bool failed_ = false;
    std::optional<mime::HeaderBlock> header_;
    std::optional<std::string> body_;
};

// The RETURN options of SEARCH and SORT. Without RETURN the answer is the plain "* SEARCH" or
// "* SORT" line.
struct ReturnOptions {
    bool extended = false;
    bool min = false;
    bool max = false;
    bool count = false;
    bool all = false;
    bool save = false;
};

// Takes "RETURN (...)" off the front of the arguments of the command `name` ("SEARCH", "SORT");
// nullopt with the BAD diagnostic set. "RETURN ()" is ALL.
std::optional<ReturnOptions> TakeReturnOptions(CommandContext& context, std::vector<Argument>& arguments, std::string_view name);

// The "* ESEARCH" line of `found` (message numbers or UIDs, in the order the answer gives them: SORT's
// order for SORT): MIN is the first, MAX the last, ALL the sequence-set in that order (ranges only for
// runs that go up by one), each only when something was found; COUNT always when asked.
std::string ExtendedResult(const Command& command, const ReturnOptions& options, const std::vector<std::uint32_t>& found);

// The untagged answer of SEARCH or SORT (`word`): "* SEARCH 1 2 3" without RETURN, else the ESEARCH
// line of the options (none for SAVE alone); `highest`, when not 0, the highest mod-sequence of what
// it names (MODSEQ among the criteria).
void AnswerFound(CommandContext& context, std::string_view word, const ReturnOptions& options, const std::vector<std::uint32_t>& found,
                 std::uint64_t highest);

// What SAVE keeps (RFC 5182 2.4) of `uids` (in the answer's order): the whole result, or only the
// first and the last where MIN and MAX are all that was asked besides SAVE. Not sorted.
std::vector<std::uint32_t> SavedResult(const ReturnOptions& options, std::vector<std::uint32_t> uids);

// RFC 5182 2.1: a command that was to save and failed leaves "$" empty, not as it was. Cleared only
// at the end, since "$" in the criteria names the result saved before.
class ClearSavedUnlessDone {
public:
    ClearSavedUnlessDone(MessageVector& view, bool armed) : view_(view), armed_(armed) {}
    ~ClearSavedUnlessDone() {
        if (armed_) view_.saved.clear();
    }
    ClearSavedUnlessDone(const ClearSavedUnlessDone&) = delete;
    ClearSavedUnlessDone& operator=(const ClearSavedUnlessDone&) = delete;
    void Done() { armed_ = false; }

private:
    MessageVector& view_;
    bool armed_;
};

// The messages the search criteria `arguments` match, as indexes of the view, in order; nullopt with
// the reply set. `modseq` tells whether the criteria hold a MODSEQ key.
std::optional<std::vector<std::size_t>> MatchingMessages(CommandContext& context, const std::vector<Argument>& arguments, bool* modseq = nullptr);

// The highest mod-sequence of the messages an answer names (RFC 7162 3.1.5): every match, or where
// only MIN and MAX are asked for, the first and the last of `matching` (in the answer's order).
std::uint64_t HighestModseq(const MessageVector& view, const ReturnOptions& options, const std::vector<std::size_t>& matching);

}  // namespace pw::imap::commands
