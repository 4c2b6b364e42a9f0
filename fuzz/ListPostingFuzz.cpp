// Fuzz target: what a mailing list reads from and does to a hostile posting. The input is a message;
// its leaf parts are counted, a delivery report's status and a forwarded message are read, and the
// list's subject prefix (with a line break in it) and signature are added. Nothing may crash or read
// past the bytes, a decoded forwarded message is bounded by its stored size, and the prefix's line
// break never starts a header field of its own.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "lists/ListPosting.h"

namespace {

using namespace pw;

constexpr std::string_view kPlain = "-- \r\nThe list \xc3\xa9";
constexpr std::string_view kHtml = "<p>The list</p>";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    mime::Message message;
    (void)message.LoadBytes(input);
    const lists::LeafCount leaves = lists::CountLeafParts(message);
    if (leaves.text > leaves.all) __builtin_trap();
    (void)lists::IsDeliveryReport(message.Headers());
    const std::string status = lists::ReportStatus(message);
    if (status.size() > input.size()) __builtin_trap();
    if (const auto enclosed = lists::EnclosedMessage(message)) {
        // Decoding never grows a body past twice its stored size.
        if (enclosed->size() > 2 * input.size() + 16) __builtin_trap();
    }
    lists::AddSubjectPrefix(message, "List\r\nBcc: x@y");
    lists::AddSignature(message, kPlain, kHtml);
    const std::string written = message.SaveToString();
    mime::Message again;
    (void)again.LoadBytes(written);
    if (again.Headers().Has("Bcc") && !message.Headers().Has("Bcc")) __builtin_trap();
    return 0;
}
