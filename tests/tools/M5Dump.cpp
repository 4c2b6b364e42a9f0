// pw_m5_dump: prints, as JSON, how the IMAP structure parser (src/m5) reads a message file.
//
//   pw_m5_dump FILE
//   pw_m5_dump --summary FILE   (for benchmarks: {"status", "parts", "decoded", "seconds"}, the
//                                seconds of opening, walking and decoding every part)
//
// Output: {"status": N, "parts": [...], "envelopes": [...]}. Each part, depth first as the parser
// numbers them: {"number", "parent" (-1 for the message), "type": "type/subtype", "charset",
// "encoding", "filename", "boundary" (of a multipart), "children": [...], "envelope" (-1 when none), "header": [offset, length],
// "body": [offset, length], "lines": N, "decoded": HEX}. Each envelope: {"part", "subject": HEX of its UTF-8,
// "from"/"to"/"cc": [[name HEX, "local", "domain"], ...]}. Texts that came from the message are
// written as hexadecimal or with every byte outside printable ASCII escaped, so the output is always
// valid JSON. Exit status: 0 when a dump was printed, 2 for bad usage or an unopened file.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "JsonText.h"
#include "m5/M5Session.h"
#include "platform/Text.h"

namespace {

using namespace pw::m5;

std::string Hex(std::string_view bytes) { return "\"" + pw::LowerHex(bytes) + "\""; }

std::string Quoted(std::string_view text) { return pw::tools::JsonQuoted(text); }

std::string Number(std::size_t value) { return value == kM5NoPart ? "-1" : std::to_string(value); }

std::string Addresses(const std::vector<M5Address>& list) {
    std::string out = "[";
    for (const auto& address : list) {
        if (out.size() > 1) out += ",";
        out += "[" + Hex(address.name) + "," + Quoted(address.local) + "," + Quoted(address.domain) + "]";
    }
    return out + "]";
}

// Opens, walks every part and decodes every body, timed; prints only the totals.
int Summary(const char* path) {
    const auto start = std::chrono::steady_clock::now();
    M5SessionHandle session;
    M5MessageHandle message;
    if (M5OpenSession(kM5ImapSessionName, M5_FLAG_CONVERT, session) != M5STS_SUCCESS) return 2;
    const M5Status status = M5OpenFiledMessage(session, path, message);
    if (status != M5STS_SUCCESS && status != M5STS_LIMIT_REACHED) return 2;
    std::size_t count = 0;
    std::uint64_t decoded = 0;
    M5GetPartCount(message, count);
    std::byte chunk[65536];
    for (std::size_t number = 0; number < count; ++number) {
        const M5PartDesc* part = nullptr;
        M5GetMimeDesc(message, number, part);
        for (std::size_t read = 0;;) {
            M5ReadPart(message, number, M5Delivery::Decoded, chunk, read);
            if (read == 0) break;
            decoded += read;
        }
    }
    M5CloseMessage(message);
    M5CloseSession(session);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    std::cout << "{\"status\":" << status << ",\"parts\":" << count << ",\"decoded\":" << decoded
              << ",\"seconds\":" << seconds.count() << "}\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == "--summary") return Summary(argv[2]);
    if (argc != 2) {
        std::cerr << "usage: pw_m5_dump [--summary] FILE\n";
        return 2;
    }
    M5SessionHandle session;
    M5MessageHandle message;
    if (M5OpenSession(kM5ImapSessionName, M5_FLAG_CONVERT, session) != M5STS_SUCCESS) return 2;
    const M5Status status = M5OpenFiledMessage(session, argv[1], message);
    if (status != M5STS_SUCCESS && status != M5STS_LIMIT_REACHED) {
        std::cerr << "open failed with " << status << "\n";
        return 2;
    }
    std::size_t count = 0;
    M5GetPartCount(message, count);
    std::string out = "{\"status\":" + std::to_string(status) + ",\"parts\":[";
    for (std::size_t number = 0; number < count; ++number) {
        const M5PartDesc* part = nullptr;
        M5GetMimeDesc(message, number, part);
        std::string decoded;
        std::byte chunk[4096];
        for (std::size_t read = 0;;) {
            M5ReadPart(message, number, M5Delivery::Decoded, chunk, read);
            if (read == 0) break;
            decoded.append(reinterpret_cast<const char*>(chunk), read);
        }
        std::size_t lines = 0;
        M5GetPartLines(message, number, lines);
        std::string filename = part->DispositionParameter("filename");
        if (filename.empty()) filename = part->Parameter("name");
        std::string children = "[";
        for (const std::size_t child : part->children) children += (children.size() > 1 ? "," : "") + std::to_string(child);
        out += (number ? "," : "") + std::string("{\"number\":") + std::to_string(number) +
               ",\"parent\":" + Number(part->parent) + ",\"type\":" + Quoted(part->type + "/" + part->subType) +
               ",\"charset\":" + Quoted(part->charset) + ",\"encoding\":" + Quoted(part->encoding) +
               ",\"filename\":" + Hex(filename) + ",\"boundary\":" + Quoted(part->boundary) + ",\"children\":" + children + "]" +
               ",\"envelope\":" + Number(part->envelope) + ",\"header\":[" + std::to_string(part->header.offset) + "," +
               std::to_string(part->header.length) + "],\"body\":[" + std::to_string(part->body.offset) + "," +
               std::to_string(part->body.length) + "],\"lines\":" + std::to_string(lines) + ",\"decoded\":" + Hex(decoded) + "}";
    }
    out += "],\"envelopes\":[";
    for (std::size_t number = 0; number < count; ++number) {
        const M5EnvelopeDesc* envelope = nullptr;
        const M5Status found = number == 0 ? M5GetEnvelopeDesc(message, 0, envelope)
                                           : M5GetEmbeddedEnvelopeDesc(message, number, envelope);
        if (found != M5STS_SUCCESS) continue;
        out += (out.back() == '[' ? "" : ",") + std::string("{\"part\":") + std::to_string(envelope->part) +
               ",\"subject\":" + Hex(envelope->subject) + ",\"from\":" + Addresses(envelope->from) +
               ",\"to\":" + Addresses(envelope->to) + ",\"cc\":" + Addresses(envelope->cc) + "}";
    }
    out += "]}";
    std::cout << out << "\n";
    M5CloseSession(session);
    return 0;
}
