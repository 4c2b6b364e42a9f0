// PhraseMatcher: every occurrence of many phrases in one pass over a text (Aho-Corasick), comparing
// bytes after ASCII upper-casing both sides.
//
// Built once per phrase list; matching costs the text's length plus the occurrences reported, never
// the text times the phrases. Occurrences overlap freely ("aa" occurs twice in "aaa") and are
// reported in order of their end, the phrases ending at one place longest first.
// Thread safety: immutable after construction; any thread may match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::antispam {

class PhraseMatcher {
public:
    explicit PhraseMatcher(const std::vector<std::string>& phrases);

    // Calls found(phrase index, start offset) for each occurrence until it returns false.
    void Match(std::string_view text, const std::function<bool(std::size_t, std::size_t)>& found) const;

private:
    struct Node {
        std::vector<std::pair<unsigned char, std::uint32_t>> children;  // sorted by byte
        std::uint32_t fail = 0;
        std::uint32_t output = 0;  // the nearest node on the fail chain that ends a phrase (0: none)
        std::vector<std::uint32_t> phrases;  // ending here
        std::uint32_t depth = 0;
    };

    std::uint32_t Child(std::uint32_t node, unsigned char byte) const;

    std::vector<Node> nodes_;
};

}  // namespace pw::antispam
