// CommandProcessor: commands by mail. A message to "command@<local domain>" (any case) carries lines
// that open a mailbox with its password and change its settings:
//
//     mailbox ADDRESS PASSWORD     opens the mailbox (a mailbox already open is saved first)
//     set TYPE NAME VALUE          with a mailbox open: VALUE converted by TYPE stored under NAME;
//                                  "BSTR"/"STR" without a value take the following lines up to "."
//     close                        saves the open mailbox
//
// The router hands such a message here and never delivers it. Commands run only when
// "sys:command:email" is -1 or a non-empty text, and never for automatic mail (the null sender, a
// daemon, "Auto-Submitted:" other than "no"): two servers never answer each other. A refusal is
// answered to the envelope sender with "commanderror.xml" and its reason code ("noplaintext",
// "nocommand", "badbox", "badpassword", "badcommand" with the line); success is not answered. A
// refusal ends the processing: what the open mailbox was given is not saved, nor anything of a
// message holding a name an owner may not set (CommandValue.h). Passwords are never logged nor shown.
// After kMaxPasswordFailures wrong passwords for one mailbox within kPasswordFailureWindow, its
// "mailbox" lines are refused unchecked for the rest of that time.
// Failures writing a property file throw ComError: the router keeps the message queued and tries
// again; it is never taken as done. Replies are new envelopes in "_In" whose ids are appended to
// `queued` (the caller submits them), as the list server's.
// Thread safety: one object per call; the password failure counts are shared under a lock.
#pragma once

#include "mime/Message.h"
#include "store/Envelope.h"
#include "store/MessageStore.h"

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pw::mailcommands {

inline constexpr std::size_t kMaxCommandLines = 1000;
inline constexpr std::size_t kMaxCommandTextBytes = 256 * 1024;
inline constexpr std::size_t kMaxValueBytes = 64 * 1024;
inline constexpr int kMaxPasswordFailures = 5;
inline constexpr std::chrono::minutes kPasswordFailureWindow{15};

// "command", any case.
bool IsCommandAddress(std::string_view local);

// One command of a command message, as read.
struct MailCommand {
    enum class Kind { Mailbox, Set, Close };
    Kind kind = Kind::Close;
    std::vector<std::string> words;  // "mailbox" ADDRESS PASSWORD / "set" TYPE NAME
    std::string value;               // of a "set": the rest of its line, or its block joined with CR LF
    std::string shown;               // the line as a reply may show it: passwords masked
};

// The commands of a command text; `refusal` non-empty (the line and why) when the text may not run
// at all: too large, a block without its "." line, a value over kMaxValueBytes, or a name that may
// not be set. Lines with other first words and "set" lines without type or name are left out.
struct CommandScript {
    std::vector<MailCommand> commands;
    std::string refusal;
};
CommandScript ReadCommands(std::string_view text);

class CommandProcessor {
public:
    explicit CommandProcessor(std::shared_ptr<store::MessageStore> messageStore);

    // Runs the commands of a message to `commandAddress`; false when it was refused with a reason.
    bool Process(const std::string& commandAddress, const mime::Message& message, const store::Envelope& envelope,
                 std::vector<double>& queued);

private:
    std::shared_ptr<store::MessageStore> store_;
};

}  // namespace pw::mailcommands
