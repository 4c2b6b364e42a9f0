// ImapCommandReader: reads one IMAP command -- tag, the UID prefix, the name, and its arguments (atoms,
// quoted strings, literals, literal8, lists, FETCH attributes with their sections) -- from a byte
// source, with the diagnostics a client is answered with.
//
// Everything is bounded before it is kept: the tag, the command's bytes with its literals (the limit
// the session sets: less before login), and the depth of lists. A synchronising literal too large
// for what is left is refused instead of being invited with "+ go ahead"; a non-synchronising one
// is fatal, since its bytes are on their way and must never be read as commands. A command that
// fails to parse has the rest of its line discarded -- including the data of a non-synchronising
// literal that ends the line -- so nothing of it runs as a command of its own.
// Thread safety: one reader per session thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "imap/ImapCommandTable.h"

namespace pw::imap {

// The bytes a reader reads and the continuation it sends.
class CommandSource {
public:
    enum class Status { Ok, Error, TimedOut, Closed };
    virtual ~CommandSource() = default;
    // One byte, waiting at most `wait` for it.
    virtual Status ReadByte(char& byte, std::chrono::seconds wait) = 0;
    // Sends a continuation line ("+ go ahead") and flushes what is pending.
    virtual Status SendContinuation(std::string_view line) = 0;
};

enum class ArgumentKind { Atom, Quoted, Literal, Literal8, List, FetchAttribute };

struct Argument {
    ArgumentKind kind = ArgumentKind::Atom;
    std::string text;              // the data of everything but a list (and of a streamed literal)
    std::vector<Argument> items;   // the members of a list
    bool streamed = false;         // a literal whose data went to the literal sink

    bool IsString() const { return kind != ArgumentKind::List; }
};

struct Command;

// Where the data of an APPEND's message literal goes instead of memory: it may be far larger than
// any command (the store's staged content file takes it).
class LiteralSink {
public:
    enum class Verdict { Accept, Refuse, RefuseAndClose };
    virtual ~LiteralSink() = default;
    // Before the data: a refused synchronising literal is never invited; the data of a refused
    // non-synchronising one is skipped, unless the refusal closes the session (too large to skip).
    virtual Verdict Open(const Command& command, std::uint64_t length, std::string& refusal) = 0;
    virtual void Write(std::string_view bytes) = 0;
};

struct Command {
    std::string tag;
    std::string name;  // upper case, cut to the longest name kept
    bool uid = false;
    const CommandEntry* entry = nullptr;  // null for an empty name
    std::vector<Argument> arguments;
};

struct CommandRead {
    enum class Outcome {
        Command,    // a command to run
        Refused,    // "<tag> BAD <diagnostic>"; the line is consumed
        Fatal,      // "<tag> BAD <diagnostic>", then the session must end
        TimedOut,   // no command began within the idle time
        Closed,     // the connection closed or failed (the source's status says which)
    };
    Outcome outcome = Outcome::Closed;
    Command command;
    std::string replyTag;    // the tag to answer a refusal with: the command's, or "*"
    std::string diagnostic;  // for Refused and Fatal
    bool no = false;         // a refusal answered NO rather than BAD
    CommandSource::Status status = CommandSource::Status::Ok;
};

class CommandReader {
public:
    explicit CommandReader(CommandSource& source) : source_(source) {}

    // The most bytes one command may take, its literals included.
    void SetLimit(std::size_t bytes) { limit_ = bytes; }
    // Takes the message literals of APPEND (null: they are read like any other).
    void SetLiteralSink(LiteralSink* sink) { sink_ = sink; }
    // Reads the next command, waiting `idle` for its first byte and kByteTimeout for each later one.
    CommandRead Read(std::chrono::seconds idle);

private:
    struct Stop {
        CommandRead::Outcome outcome;
    };

    char Next();
    char NextWithin(std::chrono::seconds wait);
    void PushBack(char byte);
    [[noreturn]] void Refuse(std::string diagnostic);
    [[noreturn]] void RefuseCharacter(std::string_view format, char byte);
    [[noreturn]] void Fail(std::string diagnostic);
    // Reads to the end of the line, skipping the data of a non-synchronising literal that ends it.
    void DiscardLine();
    // Sends "+ go ahead" for a synchronising literal.
    void Continue();

    void ReadTag(Command& command);
    std::string ReadWord();
    void ReadArguments(Command& command);
    Argument ReadArgument(bool fetchItems, std::size_t depth, bool inList);
    Argument ReadQuoted();
    // "{n}" or "{n+}" up to its CR LF (after the "{"): the length, and whether it waits for "+ go ahead".
    std::pair<std::uint64_t, bool> ReadLiteralSpecifier();
    Argument ReadLiteral(ArgumentKind kind);
    Argument ReadStreamedLiteral(const Command& command, ArgumentKind kind);
    Argument ReadList(bool fetchItems, std::size_t depth);
    Argument ReadAtom(bool fetchItem, bool inList);
    void ReadSection(std::string& text);

    CommandSource& source_;
    LiteralSink* sink_ = nullptr;
    std::size_t limit_ = 0;
    std::size_t used_ = 0;
    bool havePending_ = false;
    char pending_ = 0;
    bool lineEnded_ = false;
    bool discarding_ = false;  // the rest of a refused line: not counted against the limit
    CommandRead result_;
};

}  // namespace pw::imap
