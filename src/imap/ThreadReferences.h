// ThreadReferences: RFC 5256's REFERENCES threading algorithm (section 3), pure -- messages in, the
// thread tree out, no I/O. THREAD REFERENCES (ImapSort.cpp) reads each matched message's Message-ID,
// References, In-Reply-To, Subject and Date and feeds them here in mailbox order.
//
// Every step of the RFC: (1) parents from the references (References, or the first Message-ID of
// In-Reply-To where References names none), a dummy for each id no message holds, no link that would
// make a loop; a message without a valid Message-ID, and every message after the first with a given
// one, stands alone under an id of its own; (2) the messages without parents under the root; (3)
// dummies pruned (a childless one removed, one below the top level replaced by its children, one at
// the top level only when it has a single child); (4) the top level ordered by sent date; (5) threads
// whose base subjects agree gathered (a reply or forward goes under the thread that is not, others
// under a new dummy); (6) every set of siblings ordered by sent date, a dummy by its first child,
// ties by mailbox order.
//
// Nothing recurses: a chain of replies however long costs no stack, and a link's loop check walks up
// from the parent and down from the child side by side, so it costs the shorter of the two (one step
// for a message that arrives after its parent).
// Thread safety: a value; one per command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pw::imap {

// What REFERENCES reads of one message.
struct ThreadMessage {
    std::uint32_t number = 0;             // what the answer names it by: message number or UID
    std::string messageId;                // as MessageIds gives it; "" when missing or not valid
    std::vector<std::string> references;  // References' ids, oldest first
    std::string inReplyTo;                // the first id of In-Reply-To; "" for none
    std::string baseSubject;              // RFC 5256 2.1's base subject, folded (compared as it is)
    bool replyOrForward = false;          // its subject had a "Re:"/"Fw:"/"Fwd:" leader or a "(fwd)" trailer
    std::int64_t sent = 0;                // sent date in seconds (the caller's fallback included)
};

// The message ids of a field ("<a@b> (comment) <c@d>"), each the text between "<" and ">" with blanks
// and quotes taken out; one without "@" between non-empty sides, or longer than `maxBytes`, is left
// out. At most `limit` of them: the last ones (for References, the nearest ancestors).
std::vector<std::string> MessageIds(std::string_view field, std::size_t limit, std::size_t maxBytes);
// The first valid id of a field (Message-ID, In-Reply-To), or "".
std::string FirstMessageId(std::string_view field, std::size_t maxBytes);

// The tree: a node is a message (its number) or a dummy (number 0), with its children in order.
struct ThreadTree {
    struct Node {
        std::uint32_t number = 0;
        std::vector<std::size_t> children;
    };
    std::vector<Node> nodes;
    std::vector<std::size_t> roots;  // the threads, in order
};

class ReferencesThreader {
public:
    // Step 1 for one message; messages come in mailbox order.
    void Add(const ThreadMessage& message);
    // Steps 2 to 6 over what was added.
    ThreadTree Finish();

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    struct Node {
        std::uint32_t number = 0;
        std::uint32_t order = 0;  // mailbox order, for ties
        bool dummy = true;
        bool replyOrForward = false;
        std::int64_t sent = 0;
        std::uint32_t subject = kNone;  // index into subjects_
        std::uint32_t parent = kNone, first = kNone, last = kNone, prev = kNone, next = kNone;
    };

    std::uint32_t NewNode();
    std::uint32_t NodeOf(const std::string& id);
    void Link(std::uint32_t parent, std::uint32_t child);
    void Unlink(std::uint32_t child);
    // Puts the unlinked `node` before `anchor` among anchor's siblings.
    void InsertBefore(std::uint32_t anchor, std::uint32_t node);
    bool WouldLoop(std::uint32_t parent, std::uint32_t child);
    std::size_t ChildCount(std::uint32_t node) const;
    // The node whose date and order stand for `node`: itself, or a dummy's first child.
    std::uint32_t Representative(std::uint32_t node) const;
    bool Earlier(std::uint32_t a, std::uint32_t b) const;
    void SortChildren(std::uint32_t node);
    // Every node below `top`, each after all of its descendants.
    std::vector<std::uint32_t> ChildrenFirst(std::uint32_t top) const;
    const std::string& SubjectOf(std::uint32_t node) const;
    void Prune(std::uint32_t root);
    void GatherSubjects(std::uint32_t root);

    std::vector<Node> nodes_;
    std::vector<std::string> subjects_;
    std::unordered_map<std::string, std::uint32_t> ids_;
    std::uint32_t added_ = 0;
    std::vector<std::uint32_t> scratch_;  // WouldLoop's walk down
};

// RFC 5256's thread-data after "THREAD": each thread "(" ... ")", a message with one child followed by
// that child ("1 2 3"), one with several followed by each child in parentheses ("1 (2)(3 4)"); a
// dummy writes no number ("((2)(3))"). "" for no threads.
std::string FormatThreads(const ThreadTree& tree);

}  // namespace pw::imap
