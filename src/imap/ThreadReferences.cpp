// ThreadReferences: RFC 5256's REFERENCES algorithm over an arena of nodes linked as parent, first and
// last child, previous and next sibling, so that every link and unlink costs a constant and nothing
// walks the tree by recursion.
#include "imap/ThreadReferences.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace pw::imap {

namespace {

// Calls take(id) for each valid message id of the field, in order, until take returns false.
template <typename Take>
void ScanMessageIds(std::string_view field, std::size_t maxBytes, Take take) {
    std::size_t i = 0;
    const std::size_t size = field.size();
    while (i < size) {
        const char c = field[i];
        if (c == '(') {  // a comment, maybe nested
            std::size_t depth = 0;
            for (; i < size; ++i) {
                if (field[i] == '\\') ++i;
                else if (field[i] == '(') ++depth;
                else if (field[i] == ')' && --depth == 0) break;
            }
            ++i;
            continue;
        }
        if (c == '"') {  // a quoted word outside an id ("In-Reply-To: "Ann's message" <a@b>")
            for (++i; i < size && field[i] != '"'; ++i) {
                if (field[i] == '\\') ++i;
            }
            ++i;
            continue;
        }
        if (c != '<') {
            ++i;
            continue;
        }
        std::string id;
        bool quoted = false;
        bool tooLong = false;
        for (++i; i < size; ++i) {
            char d = field[i];
            if (!quoted && d == '>') break;
            if (!quoted && d == '<') {  // "<<a@b>": the id starts again
                id.clear();
                tooLong = false;
                continue;
            }
            if (d == '"') {
                quoted = !quoted;
                continue;
            }
            if (d == '\\' && quoted && i + 1 < size) d = field[++i];
            else if (!quoted && (d == ' ' || d == '\t' || d == '\r' || d == '\n')) continue;
            if (id.size() < maxBytes) id += d;
            else tooLong = true;
        }
        if (i >= size) return;  // no ">": not an id
        ++i;
        const std::size_t at = id.rfind('@');
        if (tooLong || at == std::string::npos || at == 0 || at + 1 == id.size()) continue;
        if (!take(std::move(id))) return;
    }
}

}  // namespace

std::vector<std::string> MessageIds(std::string_view field, std::size_t limit, std::size_t maxBytes) {
    std::vector<std::string> ids;
    if (limit == 0) return ids;
    ScanMessageIds(field, maxBytes, [&](std::string id) {
        ids.push_back(std::move(id));
        return true;
    });
    if (ids.size() > limit) ids.erase(ids.begin(), ids.end() - static_cast<std::ptrdiff_t>(limit));
    return ids;
}

std::string FirstMessageId(std::string_view field, std::size_t maxBytes) {
    std::string first;
    ScanMessageIds(field, maxBytes, [&](std::string id) {
        first = std::move(id);
        return false;
    });
    return first;
}

std::uint32_t ReferencesThreader::NewNode() {
    nodes_.emplace_back();
    return static_cast<std::uint32_t>(nodes_.size() - 1);
}

std::uint32_t ReferencesThreader::NodeOf(const std::string& id) {
    const auto found = ids_.find(id);
    if (found != ids_.end()) return found->second;
    const std::uint32_t node = NewNode();  // a dummy until a message with this id comes
    ids_.emplace(id, node);
    return node;
}

void ReferencesThreader::Link(std::uint32_t parent, std::uint32_t child) {
    Node& c = nodes_[child];
    Node& p = nodes_[parent];
    c.parent = parent;
    c.prev = p.last;
    c.next = kNone;
    if (p.last != kNone) nodes_[p.last].next = child;
    else p.first = child;
    p.last = child;
}

void ReferencesThreader::Unlink(std::uint32_t child) {
    Node& c = nodes_[child];
    if (c.parent == kNone) return;
    Node& p = nodes_[c.parent];
    if (c.prev != kNone) nodes_[c.prev].next = c.next;
    else p.first = c.next;
    if (c.next != kNone) nodes_[c.next].prev = c.prev;
    else p.last = c.prev;
    c.parent = c.prev = c.next = kNone;
}

void ReferencesThreader::InsertBefore(std::uint32_t anchor, std::uint32_t node) {
    Node& a = nodes_[anchor];
    Node& n = nodes_[node];
    n.parent = a.parent;
    n.next = anchor;
    n.prev = a.prev;
    if (a.prev != kNone) nodes_[a.prev].next = node;
    else nodes_[a.parent].first = node;
    a.prev = node;
}

// RFC 5256 1: a link from `parent` to `child` makes a loop when the parent is the child or below it.
// Walks up from the parent and through the child's subtree one step each in turn: whichever ends
// first answers, so a message new to the tree (no children) costs one step whatever its depth.
bool ReferencesThreader::WouldLoop(std::uint32_t parent, std::uint32_t child) {
    if (parent == child) return true;
    std::uint32_t up = parent;
    std::uint32_t cursor = nodes_[child].first;  // the next node of the child's subtree to look at
    std::size_t expanded = 0;                      // scratch_ holds the nodes seen, to expand in turn
    scratch_.clear();
    for (;;) {
        up = nodes_[up].parent;
        if (up == child) return true;
        if (up == kNone) return false;
        if (cursor != kNone) {
            if (cursor == parent) return true;
            scratch_.push_back(cursor);
            cursor = nodes_[cursor].next;
        } else if (expanded < scratch_.size()) {
            cursor = nodes_[scratch_[expanded++]].first;
        } else {
            return false;
        }
    }
}

void ReferencesThreader::Add(const ThreadMessage& message) {
    // The message's own node: the dummy its id already has, a new one, or -- without a valid id, or
    // with one an earlier message took -- one no reference can find (a unique id).
    std::uint32_t self = kNone;
    if (!message.messageId.empty()) {
        const auto found = ids_.find(message.messageId);
        if (found == ids_.end()) {
            self = NewNode();
            ids_.emplace(message.messageId, self);
        } else if (nodes_[found->second].dummy) {
            self = found->second;
        }
    }
    if (self == kNone) self = NewNode();
    subjects_.push_back(message.baseSubject);
    {
        Node& node = nodes_[self];
        node.dummy = false;
        node.number = message.number;
        node.order = added_++;
        node.replyOrForward = message.replyOrForward;
        node.sent = message.sent;
        node.subject = static_cast<std::uint32_t>(subjects_.size() - 1);
    }
    // 1A: each reference the parent of the next, unless the next has a parent already or the link
    // would make a loop. Without References, the first id of In-Reply-To is the one reference.
    std::vector<std::string> single;
    const std::vector<std::string>* references = &message.references;
    if (references->empty() && !message.inReplyTo.empty()) {
        single.push_back(message.inReplyTo);
        references = &single;
    }
    std::uint32_t previous = kNone;
    for (const std::string& id : *references) {
        const std::uint32_t node = NodeOf(id);
        if (previous != kNone && nodes_[node].parent == kNone && !WouldLoop(previous, node)) Link(previous, node);
        previous = node;
    }
    // 1B: the last reference is the parent, whatever parent an older, maybe truncated, References gave.
    Unlink(self);
    if (previous != kNone && !WouldLoop(previous, self)) Link(previous, self);
}

std::size_t ReferencesThreader::ChildCount(std::uint32_t node) const {
    std::size_t count = 0;
    for (std::uint32_t k = nodes_[node].first; k != kNone; k = nodes_[k].next) ++count;
    return count;
}

std::uint32_t ReferencesThreader::Representative(std::uint32_t node) const {
    while (nodes_[node].dummy && nodes_[node].first != kNone) node = nodes_[node].first;
    return node;
}

bool ReferencesThreader::Earlier(std::uint32_t a, std::uint32_t b) const {
    const Node& x = nodes_[Representative(a)];
    const Node& y = nodes_[Representative(b)];
    return x.sent != y.sent ? x.sent < y.sent : x.order < y.order;
}

void ReferencesThreader::SortChildren(std::uint32_t node) {
    if (nodes_[node].first == nodes_[node].last) return;  // none or one
    std::vector<std::uint32_t> children;
    for (std::uint32_t k = nodes_[node].first; k != kNone; k = nodes_[k].next) children.push_back(k);
    std::stable_sort(children.begin(), children.end(), [&](std::uint32_t a, std::uint32_t b) { return Earlier(a, b); });
    nodes_[node].first = nodes_[node].last = kNone;
    for (const std::uint32_t k : children) Link(node, k);
}

std::vector<std::uint32_t> ReferencesThreader::ChildrenFirst(std::uint32_t top) const {
    std::vector<std::uint32_t> order;
    std::vector<std::uint32_t> stack;
    for (std::uint32_t k = nodes_[top].first; k != kNone; k = nodes_[k].next) stack.push_back(k);
    while (!stack.empty()) {
        const std::uint32_t node = stack.back();
        stack.pop_back();
        order.push_back(node);
        for (std::uint32_t k = nodes_[node].first; k != kNone; k = nodes_[k].next) stack.push_back(k);
    }
    std::reverse(order.begin(), order.end());  // each node after everything below it
    return order;
}

const std::string& ReferencesThreader::SubjectOf(std::uint32_t node) const {
    static const std::string kNoSubject;
    const std::uint32_t shown = Representative(node);
    return nodes_[shown].dummy ? kNoSubject : subjects_[nodes_[shown].subject];
}

// Step 3. Children first, so a dummy's children are pruned before it is looked at: every dummy below
// the top level goes (its children take its place), and a top-level one stays only with several
// children.
void ReferencesThreader::Prune(std::uint32_t root) {
    for (const std::uint32_t node : ChildrenFirst(root)) {
        if (!nodes_[node].dummy) continue;
        const std::uint32_t first = nodes_[node].first;
        if (first != kNone && nodes_[node].parent == root && first != nodes_[node].last) continue;
        for (std::uint32_t k = first; k != kNone;) {
            const std::uint32_t next = nodes_[k].next;
            Unlink(k);
            InsertBefore(node, k);
            k = next;
        }
        Unlink(node);
    }
}

// Step 5: threads whose base subjects agree become one.
void ReferencesThreader::GatherSubjects(std::uint32_t root) {
    std::unordered_map<std::string_view, std::uint32_t> table;  // subjects_ stays as it is from here on
    for (std::uint32_t node = nodes_[root].first; node != kNone; node = nodes_[node].next) {
        const std::string& subject = SubjectOf(node);
        if (subject.empty()) continue;
        const auto [entry, added] = table.try_emplace(subject, node);
        if (added) continue;
        const Node& held = nodes_[entry->second];
        const Node& current = nodes_[node];
        if (!held.dummy && (current.dummy || (held.replyOrForward && !current.replyOrForward))) entry->second = node;
    }
    std::vector<std::uint32_t> tops;
    for (std::uint32_t node = nodes_[root].first; node != kNone; node = nodes_[node].next) tops.push_back(node);
    for (const std::uint32_t node : tops) {
        if (nodes_[node].parent != root) continue;  // put under another thread already
        const std::string& subject = SubjectOf(node);
        if (subject.empty()) continue;
        const auto entry = table.find(subject);
        if (entry == table.end()) continue;  // not reached: merges keep each thread's subject
        const std::uint32_t held = entry->second;
        if (held == node) continue;
        if (nodes_[held].dummy && nodes_[node].dummy) {
            while (nodes_[node].first != kNone) {
                const std::uint32_t k = nodes_[node].first;
                Unlink(k);
                Link(held, k);
            }
            Unlink(node);
        } else if (nodes_[held].dummy || (nodes_[node].replyOrForward && !nodes_[held].replyOrForward)) {
            Unlink(node);
            Link(held, node);
        } else if (nodes_[node].dummy) {  // not reached: a dummy would have taken the table's place
            Unlink(held);
            Link(node, held);
            entry->second = node;
        } else {
            const std::uint32_t dummy = NewNode();
            InsertBefore(held, dummy);
            Unlink(held);
            Link(dummy, held);
            Unlink(node);
            Link(dummy, node);
            entry->second = dummy;
        }
    }
}

ThreadTree ReferencesThreader::Finish() {
    // 2: everything without a parent under one root.
    const std::uint32_t root = NewNode();
    for (std::uint32_t node = 0; node < root; ++node) {
        if (nodes_[node].parent == kNone) Link(root, node);
    }
    Prune(root);
    // 4: the top level by sent date, a dummy by its first child.
    for (std::uint32_t node = nodes_[root].first; node != kNone; node = nodes_[node].next) {
        if (nodes_[node].dummy) SortChildren(node);
    }
    SortChildren(root);
    GatherSubjects(root);
    // 6: every set of siblings, the deepest first, the top level last.
    for (const std::uint32_t node : ChildrenFirst(root)) SortChildren(node);
    SortChildren(root);

    ThreadTree tree;
    std::vector<std::pair<std::uint32_t, std::size_t>> pending;  // a node and its place in the tree
    auto place = [&](std::uint32_t node) {
        tree.nodes.push_back({nodes_[node].dummy ? 0u : nodes_[node].number, {}});
        pending.emplace_back(node, tree.nodes.size() - 1);
        return tree.nodes.size() - 1;
    };
    for (std::uint32_t node = nodes_[root].first; node != kNone; node = nodes_[node].next) tree.roots.push_back(place(node));
    while (!pending.empty()) {
        const auto [node, at] = pending.back();
        pending.pop_back();
        for (std::uint32_t k = nodes_[node].first; k != kNone; k = nodes_[k].next) {
            const std::size_t child = place(k);
            tree.nodes[at].children.push_back(child);
        }
    }
    return tree;
}

std::string FormatThreads(const ThreadTree& tree) {
    constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);
    // For each open "(": the parent whose child `next` opens when it closes (none for a thread).
    struct Open {
        std::size_t parent;
        std::size_t next;
    };
    std::string out;
    std::vector<Open> open;
    for (const std::size_t root : tree.roots) {
        if (tree.nodes[root].number == 0 && tree.nodes[root].children.empty()) continue;
        out += '(';
        open.push_back({kNoParent, 0});
        std::size_t node = root;
        bool wrote = false;  // a number stands in the list opened last
        for (;;) {
            // A chain of only children stays on one level.
            for (;;) {
                const ThreadTree::Node& n = tree.nodes[node];
                if (n.number != 0) {
                    if (wrote) out += ' ';
                    out += std::to_string(n.number);
                    wrote = true;
                }
                if (n.children.size() != 1) break;
                node = n.children.front();
            }
            const ThreadTree::Node& n = tree.nodes[node];
            if (n.children.size() > 1) {  // several children: each in its own parentheses
                if (wrote) out += ' ';
                out += '(';
                open.push_back({node, 1});
                node = n.children.front();
                wrote = false;
                continue;
            }
            // The end of a branch: close lists until one has a sibling to open.
            bool more = false;
            while (!open.empty() && !more) {
                out += ')';
                const Open closed = open.back();
                open.pop_back();
                if (closed.parent != kNoParent && closed.next < tree.nodes[closed.parent].children.size()) {
                    out += '(';
                    open.push_back({closed.parent, closed.next + 1});
                    node = tree.nodes[closed.parent].children[closed.next];
                    wrote = false;
                    more = true;
                }
            }
            if (!more) break;
        }
    }
    return out;
}

}  // namespace pw::imap
