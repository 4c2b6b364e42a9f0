// pw_mime_dump: prints, as JSON, how pw::mime reads a message file.
//
//   pw_mime_dump [--reload] FILE
//
// Output: {"result": "S_OK"|"E_FAIL"|"0x...", "mime": bool, "parts": [...], "multiparts": [...],
// "words": {...}}. "parts" holds every leaf part, depth first, as {"position": [...], "type":
// "type/subtype", "body": HEX, "raw": HEX} with the body decoded by its transfer encoding and as stored; a message without parts (non-MIME, or MIME whose
// multipart split found nothing) gives one entry with an empty position for its whole body. "words"
// "multiparts" holds the message (position []) when it split into parts, and every part that holds
// parts, as {"position": [...], "type", "boundary"}. "words"
// holds the encoded words of Subject, From and To as {"charset", "text": HEX}. With --reload the
// message is loaded, saved with SaveToString and the saved text loaded again; the dump is of that
// second load, so that a round trip can be compared with the first dump.
// Exit status: 0 when a dump was printed (whatever the load result), 2 for bad usage or an unreadable
// file.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

#include "JsonText.h"
#include "mime/HeaderBlock.h"
#include "mime/Message.h"
#include "platform/Text.h"

namespace {

using pw::mime::Message;

std::string Hex(std::string_view bytes) { return pw::LowerHex(bytes); }

std::string Quoted(std::string_view text) { return pw::tools::JsonQuoted(text); }

std::string Result(pw::HRESULT hr) {
    if (hr == pw::S_OK) return "S_OK";
    if (hr == pw::E_FAIL) return "E_FAIL";
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(hr));
    return text;
}

std::string Entry(const std::string& position, std::string_view type, std::string_view body, std::string_view raw) {
    return "{\"position\": [" + position + "], \"type\": " + Quoted(type) + ", \"body\": \"" + Hex(body) +
           "\", \"raw\": \"" + Hex(raw) + "\"}";
}

std::string Multipart(const std::string& position, std::string_view type, std::string_view boundary) {
    return "{\"position\": [" + position + "], \"type\": " + Quoted(type) + ", \"boundary\": " + Quoted(boundary) + "}";
}

std::string PositionText(const pw::mime::PartPosition& position) {
    std::string text;
    for (const std::size_t index : position) text += (text.empty() ? "" : ", ") + std::to_string(index);
    return text;
}

void Leaves(const Message& message, pw::mime::PartPosition& position, std::string& out, std::string& inner) {
    for (std::size_t i = 0; i < message.CountChildParts(position); ++i) {
        position.push_back(i);
        const auto part = message.GetPart(position);
        const std::string type = part->ContentType() + "/" + part->ContentSubType();
        if (message.CountChildParts(position) != 0) {
            if (!inner.empty()) inner += ",\n    ";
            inner += Multipart(PositionText(position), type, part->MimeBoundry());
            Leaves(message, position, out, inner);
        } else {
            if (!out.empty()) out += ",\n    ";
            out += Entry(PositionText(position), type, part->DecodedBody(), part->EncodedBody());
        }
        position.pop_back();
    }
}

// The blank-separated encoded words of a header field, decoded one by one.
std::string Words(const Message& message, std::string_view field) {
    std::istringstream tokens(message.HeaderField(field));
    std::string out;
    for (std::string token; tokens >> token;) {
        if (!message.IsEncodedWord(token)) continue;
        const auto word = message.DecodeWord(token);
        if (!out.empty()) out += ", ";
        out += "{\"charset\": " + Quoted(word.charset) + ", \"text\": \"" + Hex(word.text) + "\"}";
    }
    return "[" + out + "]";
}

std::string Dump(const Message& message, pw::HRESULT hr) {
    std::string parts;
    std::string inner;
    pw::mime::PartPosition top;
    Leaves(message, top, parts, inner);
    const std::string type = message.ContentType() + "/" + message.ContentSubType();
    if (message.CountParts() == 0) parts = Entry("", type, message.BodyText(), message.BodyText());
    pw::mime::HeaderBlock header;
    header.Parse(message.Header());
    if (header.IsMultipart() && !header.Boundary().empty() && message.CountParts() != 0) {
        inner = Multipart("", type, header.Boundary()) + (inner.empty() ? "" : ",\n    ") + inner;
    }
    return "{\"result\": \"" + Result(hr) + "\", \"mime\": " + (message.IsMimeEncoded() ? "true" : "false") +
           ",\n  \"parts\": [\n    " + parts + "],\n  \"multiparts\": [\n    " + inner + "],\n  \"words\": {\"subject\": " + Words(message, "Subject") +
           ", \"from\": " + Words(message, "From") + ", \"to\": " + Words(message, "To") + "}}\n";
}

}  // namespace

int main(int argc, char** argv) {
    const bool reload = argc == 3 && std::string_view(argv[1]) == "--reload";
    if (argc != 2 && !reload) {
        std::cerr << "usage: pw_mime_dump [--reload] FILE\n";
        return 2;
    }
    std::ifstream file(argv[argc - 1], std::ios::binary);
    if (!file) {
        std::cerr << "pw_mime_dump: can not read " << argv[argc - 1] << "\n";
        return 2;
    }
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    Message message;
    pw::HRESULT hr = message.LoadBytes(std::move(content));
    if (reload) {
        const std::string saved = message.SaveToString();
        message = Message();
        hr = message.LoadBytes(saved);
    }
    std::cout << Dump(message, hr);
    return 0;
}
