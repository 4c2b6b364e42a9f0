// Fuzz target: a message from a stranger must load, or fail, without crashing; every part it gives
// must decode; and what we save must load again into the same parts with the same decoded bodies.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mime/Message.h"

namespace {

using Leaf = std::pair<std::string, std::string>;  // "type/subtype", decoded body

// Only a "type/subtype" of two tokens must survive a save: a field that is empty or holds control
// characters is rewritten by the header's safe folding, which is wanted.
bool WellFormed(std::string_view type) {
    const std::size_t slash = type.find('/');
    if (slash == 0 || slash + 1 >= type.size()) return false;
    for (std::size_t i = 0; i < type.size(); ++i) {
        const auto c = static_cast<unsigned char>(type[i]);
        if (i != slash && (c <= ' ' || c >= 0x7F || std::string_view("()<>@,;:\\\"/[]?=").find(c) != std::string_view::npos)) {
            return false;
        }
    }
    return true;
}

// Every part, depth first: the leaves with their decoded bodies; multipart parts only looked at.
void Walk(const pw::mime::Message& message, pw::mime::PartPosition& position, std::vector<Leaf>& leaves) {
    for (std::size_t i = 0; i < message.CountChildParts(position); ++i) {
        position.push_back(i);
        const auto part = message.GetPart(position);
        if (!part) __builtin_trap();
        std::string type = part->ContentType() + "/" + part->ContentSubType();
        if (!WellFormed(type)) type = "?";
        const std::string boundary = part->MimeBoundry();
        if (message.CountChildParts(position) == 0) {
            leaves.emplace_back(type, part->DecodedBody());
        } else {
            if (boundary.empty()) __builtin_trap();  // children come only from a boundary
            Walk(message, position, leaves);
        }
        position.pop_back();
    }
}

std::vector<Leaf> Leaves(const pw::mime::Message& message) {
    std::vector<Leaf> leaves;
    pw::mime::PartPosition top;
    Walk(message, top, leaves);
    if (leaves.empty()) leaves.emplace_back("", message.BodyText());
    return leaves;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pw::mime::Message message;
    const pw::HRESULT loaded = message.LoadBytes(std::string(reinterpret_cast<const char*>(data), size));
    const std::vector<Leaf> first = Leaves(message);
    message.ContentType();
    message.Headers().Boundary();

    const std::string saved = message.SaveToString();
    pw::mime::Message again;
    const pw::HRESULT reloaded = again.LoadBytes(saved);
    const std::vector<Leaf> second = Leaves(again);
    if (loaded != pw::S_OK) return 0;
    if (reloaded != pw::S_OK || second.size() != first.size()) __builtin_trap();
    for (std::size_t i = 0; i < first.size(); ++i) {
        if (second[i].second != first[i].second) __builtin_trap();
        if (first[i].first != "?" && second[i].first != first[i].first) __builtin_trap();
    }
    return 0;
}
