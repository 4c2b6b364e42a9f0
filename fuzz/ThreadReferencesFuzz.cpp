// Fuzz target: THREAD REFERENCES over message ids read from untrusted header text. Each input line is
// one message, "Message-ID|References|In-Reply-To|subject"; whatever the fields hold, the threading
// must end without a crash, and its answer must be RFC 5256 thread-data naming every message exactly
// once, with balanced parentheses and no empty list.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "imap/ThreadReferences.h"

namespace {

std::string_view Field(std::string_view& line) {
    const std::size_t bar = line.find('|');
    const std::string_view field = line.substr(0, bar);
    line = bar == std::string_view::npos ? std::string_view() : line.substr(bar + 1);
    return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    pw::imap::ReferencesThreader threader;
    std::uint32_t count = 0;
    while (!input.empty() && count < 2000) {
        const std::size_t end = input.find('\n');
        std::string_view line = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        pw::imap::ThreadMessage message;
        message.number = ++count;
        message.messageId = pw::imap::FirstMessageId(Field(line), 64);
        message.references = pw::imap::MessageIds(Field(line), 8, 64);
        message.inReplyTo = pw::imap::FirstMessageId(Field(line), 64);
        message.baseSubject = std::string(Field(line));
        message.replyOrForward = !message.baseSubject.empty() && message.baseSubject.front() == 'R';
        message.sent = static_cast<std::int64_t>(count * 7919u % 13u);  // many ties
        threader.Add(message);
    }
    const std::string threads = pw::imap::FormatThreads(threader.Finish());
    std::vector<int> seen(count + 1, 0);
    long depth = 0;
    char previous = ' ';
    for (std::size_t i = 0; i < threads.size(); ++i) {
        const char c = threads[i];
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (--depth < 0 || previous == '(') __builtin_trap();
        } else if (c >= '0' && c <= '9') {
            std::uint64_t number = 0;
            for (; i < threads.size() && threads[i] >= '0' && threads[i] <= '9'; ++i) number = number * 10 + static_cast<unsigned>(threads[i] - '0');
            --i;
            if (depth == 0 || number == 0 || number > count || ++seen[number] != 1) __builtin_trap();
        } else if (c != ' ') {
            __builtin_trap();
        }
        previous = c;
    }
    if (depth != 0) __builtin_trap();
    for (std::uint32_t n = 1; n <= count; ++n) {
        if (seen[n] != 1) __builtin_trap();
    }
    return 0;
}
