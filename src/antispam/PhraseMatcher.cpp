// PhraseMatcher: the Aho-Corasick automaton over upper-cased bytes (see PhraseMatcher.h).
#include "antispam/PhraseMatcher.h"

#include <algorithm>
#include <deque>

namespace pw::antispam {

namespace {

unsigned char Upper(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

constexpr std::uint32_t kNone = 0xFFFFFFFF;

}  // namespace

std::uint32_t PhraseMatcher::Child(std::uint32_t node, unsigned char byte) const {
    const auto& children = nodes_[node].children;
    const auto found = std::lower_bound(children.begin(), children.end(), byte,
                                        [](const auto& child, unsigned char b) { return child.first < b; });
    return found != children.end() && found->first == byte ? found->second : kNone;
}

PhraseMatcher::PhraseMatcher(const std::vector<std::string>& phrases) {
    nodes_.emplace_back();
    for (std::uint32_t index = 0; index < phrases.size(); ++index) {
        if (phrases[index].empty()) continue;
        std::uint32_t node = 0;
        for (const char c : phrases[index]) {
            const unsigned char byte = Upper(c);
            std::uint32_t next = Child(node, byte);
            if (next == kNone) {
                next = static_cast<std::uint32_t>(nodes_.size());
                Node child;
                child.depth = nodes_[node].depth + 1;
                nodes_.push_back(std::move(child));
                auto& children = nodes_[node].children;
                children.insert(std::upper_bound(children.begin(), children.end(), std::make_pair(byte, std::uint32_t{0}),
                                                 [](const auto& a, const auto& b) { return a.first < b.first; }),
                                {byte, next});
            }
            node = next;
        }
        nodes_[node].phrases.push_back(index);
    }
    // Breadth first: a node's fail link is the longest proper suffix of its path that is a path too.
    std::deque<std::uint32_t> queue;
    for (const auto& [byte, child] : nodes_[0].children) queue.push_back(child);
    while (!queue.empty()) {
        const std::uint32_t node = queue.front();
        queue.pop_front();
        for (const auto& [byte, child] : nodes_[node].children) {
            std::uint32_t fail = nodes_[node].fail;
            std::uint32_t target = Child(fail, byte);
            while (target == kNone && fail != 0) {
                fail = nodes_[fail].fail;
                target = Child(fail, byte);
            }
            nodes_[child].fail = (target == kNone || target == child) ? 0 : target;
            const std::uint32_t suffix = nodes_[child].fail;
            nodes_[child].output = nodes_[suffix].phrases.empty() ? nodes_[suffix].output : suffix;
            queue.push_back(child);
        }
    }
}

void PhraseMatcher::Match(std::string_view text, const std::function<bool(std::size_t, std::size_t)>& found) const {
    if (nodes_.size() == 1) return;
    std::uint32_t node = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char byte = Upper(text[i]);
        std::uint32_t next = Child(node, byte);
        while (next == kNone && node != 0) {
            node = nodes_[node].fail;
            next = Child(node, byte);
        }
        node = next == kNone ? 0 : next;
        for (std::uint32_t hit = nodes_[node].phrases.empty() ? nodes_[node].output : node; hit != 0; hit = nodes_[hit].output) {
            const std::size_t start = i + 1 - nodes_[hit].depth;
            for (const std::uint32_t phrase : nodes_[hit].phrases) {
                if (!found(phrase, start)) return;
            }
        }
    }
}

}  // namespace pw::antispam
