// ImapCommandReader: the parser. Failures unwind with Stop to Read, which returns what the session
// answers; every byte goes through Next, which counts it against the command's limit.
#include "imap/ImapCommandReader.h"

#include <cstdint>
#include <limits>

#include "imap/ImapLimits.h"
#include "platform/Text.h"

namespace pw::imap {

namespace {

constexpr std::string_view kTagSpecials = "(){ %*\"\\+";
constexpr std::string_view kLiteralTooLarge = "[TOOBIG] Literal too large";
// The data of a streamed literal goes to its sink in blocks of this size.
constexpr std::size_t kStreamBlock = 64 * 1024;

bool IsControl(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

bool IsEightBit(char c) { return static_cast<unsigned char>(c) > 0x7F; }

// The length of a non-synchronising literal specifier ("{n+}") that ends `text`, if one does.
bool EndsWithNonSyncLiteral(std::string_view text, std::uint64_t& length) {
    if (text.size() < 4 || !text.ends_with("+}")) return false;
    const std::size_t open = text.rfind('{');
    if (open == std::string_view::npos || open + 3 > text.size()) return false;
    const std::string_view digits = text.substr(open + 1, text.size() - open - 3);
    if (digits.empty()) return false;
    length = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return false;
        length = length * 10 + static_cast<std::uint64_t>(c - '0');
        if (length > std::numeric_limits<std::uint32_t>::max()) length = std::numeric_limits<std::uint64_t>::max() / 2;
    }
    return true;
}

}  // namespace

CommandRead CommandReader::Read(std::chrono::seconds idle) {
    result_ = CommandRead{};
    result_.replyTag = "*";
    used_ = 0;
    lineEnded_ = false;
    discarding_ = false;
    Command command;
    try {
        // Empty lines are skipped; only the first byte of a command may take the idle time.
        for (;;) {
            const char first = NextWithin(idle);
            if (first != '\r') {
                PushBack(first);
                break;
            }
            const char lf = Next();
            if (lf != '\n') RefuseCharacter("Command terminated by char 0x%2.2X where LF expected", lf);
            used_ = 0;
        }
        ReadTag(command);
        command.name = ReadWord();
        if (command.name == "UID") {
            const char next = Next();
            if (next == ' ') {
                command.uid = true;
                command.name = ReadWord();
            } else {
                PushBack(next);
            }
        }
        if (!command.name.empty()) {
            command.entry = FindCommand(command.name);
            if (!command.entry) Refuse("Unrecognized command");
            ReadArguments(command);
        } else if (!lineEnded_) {
            DiscardLine();
        }
        result_.outcome = CommandRead::Outcome::Command;
        result_.command = std::move(command);
    } catch (const Stop& stop) {
        result_.outcome = stop.outcome;
    }
    return std::move(result_);
}

char CommandReader::NextWithin(std::chrono::seconds wait) {
    if (havePending_) {
        havePending_ = false;
        return pending_;
    }
    char byte = 0;
    const CommandSource::Status status = source_.ReadByte(byte, wait);
    if (status == CommandSource::Status::TimedOut) throw Stop{CommandRead::Outcome::TimedOut};
    if (status != CommandSource::Status::Ok) {
        result_.status = status;
        throw Stop{CommandRead::Outcome::Closed};
    }
    if (!discarding_ && ++used_ > limit_) {
        PushBack(byte);
        Refuse("[TOOBIG] Command line too long");
    }
    return byte;
}

char CommandReader::Next() { return NextWithin(kByteTimeout); }

void CommandReader::PushBack(char byte) {
    pending_ = byte;
    havePending_ = true;
}

void CommandReader::Refuse(std::string diagnostic) {
    result_.diagnostic = std::move(diagnostic);
    if (!lineEnded_) DiscardLine();
    throw Stop{CommandRead::Outcome::Refused};
}

void CommandReader::RefuseCharacter(std::string_view format, char byte) {
    // The line end itself is left to the discarding; a bare LF ends the line the client meant.
    if (byte == '\r') PushBack(byte);
    if (byte == '\n') lineEnded_ = true;
    Refuse(Format(format, {std::uint64_t{static_cast<unsigned char>(byte)}}));
}

void CommandReader::Fail(std::string diagnostic) {
    result_.diagnostic = std::move(diagnostic);
    throw Stop{CommandRead::Outcome::Fatal};
}

void CommandReader::DiscardLine() {
    discarding_ = true;
    std::string tail;  // the end of the current piece of the line, enough for a literal specifier
    bool afterCr = false;
    for (;;) {
        const char c = Next();
        if (afterCr && c == '\n') {
            std::uint64_t length = 0;
            if (!EndsWithNonSyncLiteral(tail, length)) break;
            // Its data is on the way and belongs to this line: skip it, never read it as commands.
            if (length > limit_) Fail(std::string(kLiteralTooLarge));
            for (std::uint64_t i = 0; i < length; ++i) Next();
            tail.clear();
            afterCr = false;
            continue;
        }
        if (afterCr) tail += '\r';
        afterCr = c == '\r';
        if (!afterCr) tail += c;
        if (tail.size() > 32) tail.erase(0, tail.size() - 32);
    }
    discarding_ = false;
    lineEnded_ = true;
}

void CommandReader::ReadTag(Command& command) {
    std::string tag;
    for (;;) {
        const char c = Next();
        if (c == ' ') {
            if (tag.empty()) Refuse("Command tag missing");
            break;
        }
        if (c == '\r') {
            PushBack(c);
            break;
        }
        if (IsControl(c) || IsEightBit(c) || kTagSpecials.find(c) != std::string_view::npos) {
            RefuseCharacter("Illegal character (code 0x%2.2X) in tag", c);
        }
        if (tag.size() == kMaxTagLength) Refuse("[TOOBIG] Command tag too long");
        tag += c;
    }
    command.tag = tag;
    result_.replyTag = std::move(tag);
}

std::string CommandReader::ReadWord() {
    std::string word;
    for (;;) {
        const char c = Next();
        if (c == ' ' || c == '\r') {
            PushBack(c);
            return ToUpperAscii(word);
        }
        if (word.size() < kMaxCommandNameLength) word += c;
    }
}

void CommandReader::ReadArguments(Command& command) {
    const bool fetch = command.entry->id == CommandId::Fetch;
    // APPEND's message is its first literal after the mailbox name.
    const bool append = command.entry->id == CommandId::Append && sink_;
    for (std::size_t index = 0;; ++index) {
        const char c = Next();
        if (c == '\r') {
            const char lf = Next();
            if (lf != '\n') RefuseCharacter("Command terminated by char 0x%2.2X where LF expected", lf);
            lineEnded_ = true;
            return;
        }
        if (c != ' ') RefuseCharacter("Argument preceded by invalid character (code 0x%2.2X).  CR or space expected.", c);
        const char first = Next();
        if (append && index >= 1 && first == '{') {
            command.arguments.push_back(ReadStreamedLiteral(command, ArgumentKind::Literal));
            continue;
        }
        if (append && index >= 1 && first == '~') {
            const char open = Next();
            if (open != '{') RefuseCharacter("Illegal character (code 0x%2.2X) following ~ where { expected", open);
            command.arguments.push_back(ReadStreamedLiteral(command, ArgumentKind::Literal8));
            continue;
        }
        // "UTF8 (~{n}...)" (RFC 6855): the message in a list of its own, after the word UTF8 -- which,
        // as the mailbox name, is argument 0 and does not count.
        if (append && index >= 2 && first == '(' && command.arguments.back().kind == ArgumentKind::Atom &&
            EqualsNoCase(command.arguments.back().text, "UTF8")) {
            const char tilde = Next();
            const char open = Next();
            if (tilde != '~' || open != '{') RefuseCharacter("Illegal character (code 0x%2.2X) in UTF8 data where ~{ expected", tilde != '~' ? tilde : open);
            command.arguments.push_back(ReadStreamedLiteral(command, ArgumentKind::Literal8));
            const char close = Next();
            if (close != ')') RefuseCharacter("Illegal character (code 0x%2.2X) following UTF8 data where ) expected", close);
            continue;
        }
        PushBack(first);
        command.arguments.push_back(ReadArgument(fetch && index >= 1, 0, false));
    }
}

Argument CommandReader::ReadArgument(bool fetchItems, std::size_t depth, bool inList) {
    const char c = Next();
    switch (c) {
    case '"': return ReadQuoted();
    case '(': return ReadList(fetchItems, depth + 1);
    case '{': return ReadLiteral(ArgumentKind::Literal);
    case '~': {
        // "~{" opens a literal8; otherwise "~" is an atom's first character ("~/Mail", "~foo").
        const char open = Next();
        if (open == '{') return ReadLiteral(ArgumentKind::Literal8);
        PushBack(open);
        Argument atom = ReadAtom(fetchItems, inList);
        atom.text.insert(0, 1, '~');
        return atom;
    }
    case ' ':
    case '\r':
        PushBack(c);
        Refuse("Null argument is never valid");
    default:
        PushBack(c);
        return ReadAtom(fetchItems, inList);
    }
}

Argument CommandReader::ReadQuoted() {
    Argument argument{ArgumentKind::Quoted, {}, {}, false};
    for (;;) {
        char c = Next();
        if (c == '"') return argument;
        if (c == '\\') c = Next();
        if (IsControl(c)) RefuseCharacter("Illegal character (code 0x%2.2X) in quoted string", c);
        argument.text += c;
    }
}

std::pair<std::uint64_t, bool> CommandReader::ReadLiteralSpecifier() {
    std::uint64_t length = 0;
    bool digits = false;
    bool synchronising = true;
    for (;;) {
        char c = Next();
        if (c >= '0' && c <= '9') {
            digits = true;
            // Past 32 bits the count only has to stay too large.
            if (length <= std::numeric_limits<std::uint32_t>::max()) length = length * 10 + static_cast<std::uint64_t>(c - '0');
            continue;
        }
        if (c == '+' && digits) {
            synchronising = false;
            c = Next();
        }
        if (c == '}' && digits) break;
        RefuseCharacter("Illegal character (code 0x%2.2X) in literal specifier", c);
    }
    const char cr = Next();
    if (cr != '\r') RefuseCharacter("Illegal character (code 0x%2.2X) following literal specifier where CR expected", cr);
    const char lf = Next();
    if (lf != '\n') RefuseCharacter("Illegal character (code 0x%2.2X) following literal specifier where LF expected", lf);
    // The line so far has ended: a synchronising client now waits, and sends nothing more unless invited.
    lineEnded_ = true;
    return {length, synchronising};
}

Argument CommandReader::ReadLiteral(ArgumentKind kind) {
    const auto [length, synchronising] = ReadLiteralSpecifier();
    if (!synchronising && length > kMaxNonSynchronisingLiteral) Fail(std::string(kLiteralTooLarge));
    if (length > std::numeric_limits<std::uint32_t>::max() || length > limit_ - used_) {
        if (!synchronising) Fail(std::string(kLiteralTooLarge));
        Refuse(std::string(kLiteralTooLarge));
    }
    if (synchronising) Continue();
    Argument argument{kind, {}, {}, false};
    argument.text.reserve(static_cast<std::size_t>(length));
    for (std::uint64_t i = 0; i < length; ++i) argument.text += Next();
    lineEnded_ = false;
    return argument;
}

Argument CommandReader::ReadStreamedLiteral(const Command& command, ArgumentKind kind) {
    const auto [length, synchronising] = ReadLiteralSpecifier();
    if (!synchronising && length > kMaxNonSynchronisingLiteral) Fail(std::string(kLiteralTooLarge));
    std::string refusal;
    const LiteralSink::Verdict verdict = length > std::numeric_limits<std::uint32_t>::max()
                                             ? LiteralSink::Verdict::RefuseAndClose
                                             : sink_->Open(command, length, refusal);
    if (verdict == LiteralSink::Verdict::RefuseAndClose) {
        if (refusal.empty()) refusal = kLiteralTooLarge;
        if (!synchronising) Fail(refusal);
        result_.no = true;
        Refuse(refusal);
    }
    if (verdict == LiteralSink::Verdict::Accept && synchronising) Continue();
    if (verdict == LiteralSink::Verdict::Refuse && synchronising) {
        result_.no = true;
        Refuse(refusal);
    }
    // The data is not the command's: it does not count against the command's limit.
    discarding_ = true;
    std::string block;
    block.reserve(kStreamBlock);
    for (std::uint64_t i = 0; i < length; ++i) {
        block += Next();
        if (block.size() == kStreamBlock) {
            if (verdict == LiteralSink::Verdict::Accept) sink_->Write(block);
            block.clear();
        }
    }
    if (verdict == LiteralSink::Verdict::Accept && !block.empty()) sink_->Write(block);
    discarding_ = false;
    lineEnded_ = false;
    if (verdict == LiteralSink::Verdict::Refuse) {
        result_.no = true;
        Refuse(refusal);
    }
    return Argument{kind, {}, {}, true};
}

void CommandReader::Continue() {
    const CommandSource::Status status = source_.SendContinuation("+ go ahead");
    if (status != CommandSource::Status::Ok) {
        result_.status = status;
        throw Stop{CommandRead::Outcome::Closed};
    }
}

Argument CommandReader::ReadList(bool fetchItems, std::size_t depth) {
    if (depth > kMaxListDepth) Refuse("[TOOBIG] Lists are nested too deeply");
    Argument list{ArgumentKind::List, {}, {}, false};
    char c = Next();
    if (c == ')') return list;
    PushBack(c);
    for (;;) {
        c = Next();
        PushBack(c);
        if (c == ' ' || c == ')') Refuse("Empty list item is not valid");
        if (c == '\r') Refuse("List argument missing closing parenthesis");
        list.items.push_back(ReadArgument(fetchItems, depth, true));
        c = Next();
        if (c == ')') return list;
        if (c == '\r') {
            PushBack(c);
            Refuse("List argument missing closing parenthesis");
        }
        if (c != ' ') RefuseCharacter("Argument preceded by invalid character (code 0x%2.2X).  CR or space expected.", c);
    }
}

Argument CommandReader::ReadAtom(bool fetchItem, bool inList) {
    Argument argument{fetchItem ? ArgumentKind::FetchAttribute : ArgumentKind::Atom, {}, {}, false};
    for (;;) {
        const char c = Next();
        if (c == ' ' || c == '\r' || (inList && c == ')')) {
            PushBack(c);
            return argument;
        }
        if (IsControl(c) || IsEightBit(c) || c == '"' || c == '(' || c == ')' || c == '{') {
            RefuseCharacter("Illegal character (code 0x%2.2X) in argument", c);
        }
        argument.text += c;
        if (fetchItem && c == '[') ReadSection(argument.text);
    }
}

// A FETCH attribute's section, after its "[": spaces and a parenthesised field list may stand in it.
void CommandReader::ReadSection(std::string& text) {
    bool inFields = false;
    for (;;) {
        const char c = Next();
        if (c == '\r') {
            PushBack(c);
            Refuse("List not followed by ']'");
        }
        if (IsControl(c) || IsEightBit(c)) RefuseCharacter("Illegal character (code 0x%2.2X) in argument", c);
        text += c;
        if (c == '(' && !inFields) {
            inFields = true;
        } else if (c == ')' && inFields) {
            const char close = Next();
            if (close != ']') {
                PushBack(close);
                Refuse("List not followed by ']'");
            }
            text += close;
            return;
        } else if (c == ']' && !inFields) {
            return;
        }
    }
}

}  // namespace pw::imap
