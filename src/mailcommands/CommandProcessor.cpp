// CommandProcessor: reading a command message, running it against the store, and the refusals.
#include "mailcommands/CommandProcessor.h"

#include "core/Configuration.h"
#include "core/Logging.h"
#include "mailcommands/CommandValue.h"
#include "platform/Text.h"
#include "store/StoreTypes.h"
#include "templates/AutomaticMail.h"
#include "templates/CommandText.h"
#include "templates/MessageTemplate.h"

#include <deque>
#include <map>
#include <mutex>

namespace pw::mailcommands {

namespace {

constexpr std::string_view kMask = "********";
constexpr std::string_view kErrorTemplate = "commanderror.xml";
// Mailboxes whose failures are remembered at most; past it, the counts that have run out go.
constexpr std::size_t kMaxRememberedMailBoxes = 10000;

// The wrong passwords offered per mailbox, process-wide: guessing is slowed down whichever sender
// and connection the guesses come from.
class PasswordFailures {
public:
    using Clock = std::chrono::steady_clock;

    bool Locked(const std::string& mailbox) {
        std::lock_guard guard(lock_);
        const auto found = failures_.find(mailbox);
        if (found == failures_.end()) return false;
        Expire(found->second, Clock::now());
        return found->second.size() >= static_cast<std::size_t>(kMaxPasswordFailures);
    }

    void Count(const std::string& mailbox) {
        std::lock_guard guard(lock_);
        const auto now = Clock::now();
        if (failures_.size() >= kMaxRememberedMailBoxes) {
            for (auto it = failures_.begin(); it != failures_.end();) {
                Expire(it->second, now);
                it = it->second.empty() ? failures_.erase(it) : std::next(it);
            }
        }
        auto& times = failures_[mailbox];
        Expire(times, now);
        times.push_back(now);
    }

private:
    static void Expire(std::deque<Clock::time_point>& times, Clock::time_point now) {
        while (!times.empty() && now - times.front() >= kPasswordFailureWindow) times.pop_front();
    }

    std::mutex lock_;
    std::map<std::string, std::deque<Clock::time_point>> failures_;
};

PasswordFailures& Failures() {
    static PasswordFailures failures;
    return failures;
}

// The lines of a text, without their line ends.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

// What follows the first `skip` words of a (trimmed) line, trimmed.
std::string_view AfterWords(std::string_view line, std::size_t skip) {
    std::size_t at = 0;
    for (std::size_t word = 0; word < skip; ++word) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
    }
    return TrimAscii(line.substr(at));
}

bool IsPasswordName(std::string_view name) { return EqualsNoCase(name, "mailbox:password"); }

// A reply shows at most this much of a word or a value.
constexpr std::size_t kMaxShown = 200;

std::string Capped(std::string_view text) {
    return text.size() <= kMaxShown ? std::string(text) : templates::BoundedValue(text, kMaxShown) + "...";
}

std::string Shown(const std::vector<std::string>& words, std::string_view value) {
    std::string line = Capped(words[0]) + " " + Capped(words[1]) + " " + Capped(words[2]);
    if (value.empty()) return line;
    return line + " " + (IsPasswordName(words[2]) ? std::string(kMask) : Capped(value));
}

// The mailbox address of a "mailbox" line, without the angle brackets some write around it.
std::string_view BareAddress(std::string_view word) {
    if (word.size() >= 2 && word.front() == '<' && word.back() == '>') return word.substr(1, word.size() - 2);
    return word;
}

// The feature is on when the value is -1 (a switch) or a non-empty text (an address, informative).
bool CommandsSwitchedOn() {
    const Variant value = core::ServerConfig().GetCopy("sys:command:email");
    if (value.IsText()) return !TrimAscii(value.AsText()).empty();
    return value.IsNumeric() && value.AsInt64() == -1;
}

// One command message being run.
class CommandRun {
public:
    CommandRun(const store::MessageStore& messageStore, const store::Envelope& envelope, std::vector<double>& queued)
        : store_(messageStore), envelope_(envelope), queued_(queued) {}

    bool Execute(const CommandScript& script) {
        for (const auto& command : script.commands) {
            const bool goOn = command.kind == MailCommand::Kind::Mailbox ? Open(command)
                              : command.kind == MailCommand::Kind::Set   ? Set(command)
                                                                         : Close();
            if (!goOn) return false;
        }
        if (!any_) return Refuse("nocommand", "");
        Close();
        core::Log(core::LogLevelNormal, "Commands by mail from " + envelope_.Sender() + " carried out (" + envelope_.Namespace() + ")");
        return true;
    }

    // Answers the sender with the reason; always false.
    bool Refuse(std::string_view code, std::string_view detail) {
        open_.reset();  // what it was given is not saved
        templates::MessageTemplate messageTemplate;
        std::string reason(code);
        if (messageTemplate.Load(templates::TemplatePath(kErrorTemplate))) {
            const std::string explained(TrimAscii(messageTemplate.Text(code)));
            if (!explained.empty()) reason += ": " + explained;
        }
        if (!detail.empty()) reason += "\r\n\r\n    " + std::string(detail);
        reason += "\r\n";
        core::Log(core::LogLevelNormal, "Commands by mail from " + envelope_.Sender() + " refused: " + std::string(code) + " (" +
                                            envelope_.Namespace() + ")");
        if (auto id = templates::SendTemplateMessage(std::string(kErrorTemplate), nullptr, envelope_, reason, {}, envelope_.Sender())) {
            queued_.push_back(*id);
        }
        return false;
    }

private:
    bool Open(const MailCommand& command) {
        Close();  // a mailbox already open is saved first
        const std::string address(command.words.size() > 1 ? BareAddress(command.words[1]) : std::string_view());
        auto mailbox = address.empty() ? nullptr : store_.FindMailBox(address);
        if (!mailbox) return Refuse("badbox", command.shown);
        const std::string key = ToLowerAscii(mailbox->Address());
        if (Failures().Locked(key)) {
            core::Log(core::LogLevelWarning, "Commands by mail: " + key + " is closed to passwords for a while after " +
                                                 std::to_string(kMaxPasswordFailures) + " wrong ones; refused " + Who());
            return Refuse("badpassword", command.shown);
        }
        if (command.words.size() < 3 || !mailbox->IsPassword(command.words[2])) {
            Failures().Count(key);
            core::Log(core::LogLevelWarning, "Commands by mail: wrong password for " + key + " " + Who());
            return Refuse("badpassword", command.shown);
        }
        open_ = std::move(mailbox);
        any_ = true;
        return true;
    }

    bool Set(const MailCommand& command) {
        if (!open_) return true;  // ignored before a mailbox is open
        const std::string& type = command.words[1];
        const std::string& name = command.words[2];
        Variant value;
        const ValueResult result = ConvertValue(type, command.value, value);
        if (result == ValueResult::UnknownType) return Refuse("badcommand", command.shown + "\r\n    (\"" + Capped(type) + "\" is no value type)");
        if (result == ValueResult::BadValue) {
            return Refuse("badcommand", command.shown + "\r\n    (the value is no " + ToUpperAscii(Capped(type)) + " value, or does not fit one)");
        }
        auto& properties = open_->GetProperties();
        if (IsPasswordName(name)) {
            // Only a password the "mailbox" command can give again: one word of text.
            const std::string& text = value.AsText();
            if (result != ValueResult::Value || !value.IsText() || text.empty() || text.find_first_of(" \t\r\n") != std::string::npos) {
                return Refuse("badcommand", command.shown + "\r\n    (a password is one word of text)");
            }
            open_->SetPassword(text);
        } else if (EqualsNoCase(name, "mailbox:comment")) {
            std::string text;
            if (result == ValueResult::Remove || Failed(value.ToText(text))) {
                properties.Remove(store::kCommentKey);
            } else {
                open_->SetComment(text);
            }
        } else if (result == ValueResult::Remove) {
            properties.Remove(name);
        } else {
            properties.SetItem(name, std::move(value));
        }
        return true;
    }

    bool Close() {
        if (open_) {
            open_->Update();  // throws: the message stays queued and is run again
            open_.reset();
        }
        return true;
    }

    std::string Who() const {
        std::string who = "from " + envelope_.Sender();
        if (const std::string client = envelope_.ReceivedFrom(); !client.empty()) who += " (client " + client + ")";
        return who;
    }

    const store::MessageStore& store_;
    const store::Envelope& envelope_;
    std::vector<double>& queued_;
    std::shared_ptr<store::MailBox> open_;
    bool any_ = false;
};

}  // namespace

bool IsCommandAddress(std::string_view local) { return EqualsNoCase(local, "command"); }

CommandScript ReadCommands(std::string_view text) {
    CommandScript script;
    if (text.size() > kMaxCommandTextBytes) {
        script.refusal = "(the command text is larger than " + std::to_string(kMaxCommandTextBytes / 1024) + " KiB)";
        return script;
    }
    const auto lines = Lines(text);
    if (lines.size() > kMaxCommandLines) {
        script.refusal = "(the command text has more than " + std::to_string(kMaxCommandLines) + " lines)";
        return script;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = TrimAscii(lines[i]);
        auto words = templates::CommandWords(line);
        if (words.empty()) continue;
        MailCommand command;
        const std::string first = ToLowerAscii(words[0]);
        if (first == "mailbox") {
            command.kind = MailCommand::Kind::Mailbox;
            command.shown = "mailbox" + (words.size() > 1 ? " " + Capped(words[1]) : std::string()) + (words.size() > 2 ? " " + std::string(kMask) : "");
        } else if (first == "close") {
            command.kind = MailCommand::Kind::Close;
            command.shown = "close";
        } else if (first == "set") {
            if (words.size() < 3) continue;
            words.resize(3);
            command.kind = MailCommand::Kind::Set;
            command.value = std::string(AfterWords(line, 3));
            command.shown = Shown(words, command.value);
            if (IsTextType(words[1]) && command.value.empty()) {
                bool ended = false;
                for (bool firstLine = true; ++i < lines.size(); firstLine = false) {
                    if (TrimAscii(lines[i]) == ".") {
                        ended = true;
                        break;
                    }
                    if (!firstLine) command.value += "\r\n";
                    command.value += lines[i];
                    if (command.value.size() > kMaxValueBytes) break;
                }
                if (!ended && command.value.size() <= kMaxValueBytes) {
                    script.refusal = command.shown + "\r\n    (the block of lines has no line holding only \".\")";
                    return script;
                }
            }
            if (command.value.size() > kMaxValueBytes) {
                script.refusal = command.shown + "\r\n    (a value may hold at most " + std::to_string(kMaxValueBytes / 1024) + " KiB)";
                return script;
            }
            // Names are judged before anything runs: a message that tries one changes nothing.
            if (!IsSettableName(words[2])) {
                script.refusal = command.shown + "\r\n    (\"" + Capped(words[2]) + "\" can not be set by mail)";
                return script;
            }
        } else {
            continue;
        }
        command.words = std::move(words);
        script.commands.push_back(std::move(command));
    }
    return script;
}

CommandProcessor::CommandProcessor(std::shared_ptr<store::MessageStore> messageStore) : store_(std::move(messageStore)) {}

bool CommandProcessor::Process(const std::string& commandAddress, const mime::Message& message, const store::Envelope& envelope,
                               std::vector<double>& queued) {
    if (!CommandsSwitchedOn()) {
        core::Log(core::LogLevelNormal, "Commands by mail are off; the message to " + commandAddress + " is dropped (" + envelope.Namespace() + ")");
        return true;
    }
    if (templates::IsAutomaticMail(envelope.Sender(), message.Headers())) {
        core::Log(core::LogLevelNormal, "Commands by mail run nothing of automatic mail; the message to " + commandAddress +
                                            " is dropped (" + envelope.Namespace() + ")");
        return true;
    }
    CommandRun run(*store_, envelope, queued);
    const auto text = templates::CommandText(message);
    if (!text) return run.Refuse("noplaintext", "");
    const CommandScript script = ReadCommands(*text);
    if (!script.refusal.empty()) return run.Refuse("badcommand", script.refusal);
    return run.Execute(script);
}

}  // namespace pw::mailcommands
