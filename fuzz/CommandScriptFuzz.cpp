// Fuzz target: the text of a message to command@ as the command processor reads it. Whatever the
// text, reading it stays within the limits (no value over kMaxValueBytes, every name kept one that
// may be set, a password never shown), and converting each value by its type word either gives a
// value of that type or refuses it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mailcommands/CommandProcessor.h"
#include "mailcommands/CommandValue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pw;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto script = mailcommands::ReadCommands(text);
    if (!script.refusal.empty()) return 0;
    for (const auto& command : script.commands) {
        // The password word of a "mailbox" line is never shown.
        if (command.kind == mailcommands::MailCommand::Kind::Mailbox && command.words.size() > 2 &&
            std::string_view(command.shown).substr(command.shown.rfind(' ') + 1) != "********") {
            __builtin_trap();
        }
        if (command.kind != mailcommands::MailCommand::Kind::Set) continue;
        if (command.words.size() != 3 || command.value.size() > mailcommands::kMaxValueBytes) __builtin_trap();
        if (!mailcommands::IsSettableName(command.words[2])) __builtin_trap();
        Variant value;
        const auto result = mailcommands::ConvertValue(command.words[1], command.value, value);
        if (result == mailcommands::ValueResult::Value && mailcommands::IsTextType(command.words[1]) && value.AsText() != command.value) {
            __builtin_trap();
        }
    }
    return 0;
}
