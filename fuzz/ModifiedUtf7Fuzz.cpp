// Fuzz target: modified UTF-7 mailbox names. Decoding any text must succeed or refuse it, never crash;
// a name it accepts must be valid UTF-8 that encodes back to a text decoding to the same name; and any
// stored name must encode to printable ASCII whose syntax the decoder accepts.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "imap/ModifiedUtf7.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto decoded = pw::imap::DecodeModifiedUtf7(text);
    if (decoded.Ok()) {
        const std::string again = pw::imap::EncodeModifiedUtf7(decoded.name);
        const auto back = pw::imap::DecodeModifiedUtf7(again);
        // Raw 8-bit bytes a client sent unencoded pass through as they are; only they may come back
        // otherwise (as the replacement character when they are no UTF-8).
        bool raw8bit = false;
        for (const char c : text) raw8bit = raw8bit || static_cast<unsigned char>(c) > 0x7F;
        if (!raw8bit && (!back.Ok() || back.name != decoded.name)) __builtin_trap();
    }
    const std::string encoded = pw::imap::EncodeModifiedUtf7(text);
    for (const char c : encoded) {
        if (c < 0x20 || c > 0x7E) __builtin_trap();
    }
    // What this server writes is never refused as bad syntax (a long name may still pass a limit).
    const auto reread = pw::imap::DecodeModifiedUtf7(encoded);
    if (!reread.Ok() && reread.bad) __builtin_trap();
    return 0;
}
