// Fuzz target: addresses come from MAIL FROM, RCPT TO, USER and every address field of a message.
// Parsing and checking one must not crash; the address a valid one gives back, written as a header
// writes it, must parse to the same mailbox and hold no line break; and an encoded word must decode to the bytes encoded.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mime/Address.h"
#include "mime/Codecs.h"

namespace {

using namespace pw::mime;

void CheckAddress(std::string_view text) {
    ParsedAddress parsed;
    ParseAddress(text, parsed);
    const Address address(text);
    const AddressValidity validity = address.Valid();
    const std::string full = address.FullAddress();
    if (validity != AddressValid) return;
    if (full.find_first_of("\r\n") != std::string::npos) __builtin_trap();  // a header field of the sender's making
    // A name is written quoted with its quotes escaped, which the parser does not undo; a local part
    // with quotes of its own may be taken for a name when the name is empty. Those keep no promise.
    const std::string& name = address.Name();
    if (name.find_first_of("\"\\") != std::string::npos || address.GetAddress().find('"') != std::string::npos) return;
    const Address again(full);
    if (again.GetAddress() != address.GetAddress()) __builtin_trap();
    if (name.find_first_of("\r\n") == std::string::npos && again.Name() != name) __builtin_trap();
}

void CheckEncodedWords(std::string_view raw) {
    for (const EncodedWordType type : {EncodedWordTypeB, EncodedWordTypeQ}) {
        const std::string word = EncodeWord("utf-8", type, raw);
        if (!IsEncodedWord(word)) __builtin_trap();
        const DecodedWord decoded = DecodeWord(word);
        if (decoded.text != raw || decoded.charset != "utf-8" || decoded.type != type) __builtin_trap();
    }
    const DecodedWord decoded = DecodeWord(raw);
    if (!IsEncodedWord(raw) && (!decoded.text.empty() || decoded.type != EncodedWordTypeUnknown)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckAddress(text);
    CheckEncodedWords(text);
    return 0;
}
