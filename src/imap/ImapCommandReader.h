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
#include <string>
#include <string_view>
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
    std::string text;              // the data of everything but a list
    std::vector<Argument> items;   // the members of a list

    bool IsString() const { return kind != ArgumentKind::List; }
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
    CommandSource::Status status = CommandSource::Status::Ok;
};

class CommandReader {
public:
    explicit CommandReader(CommandSource& source) : source_(source) {}

    // The most bytes one command may take, its literals included.
    void SetLimit(std::size_t bytes) { limit_ = bytes; }
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

    void ReadTag(Command& command);
    std::string ReadWord();
    void ReadArguments(Command& command);
    Argument ReadArgument(bool fetchItems, std::size_t depth, bool inList);
    Argument ReadQuoted();
    Argument ReadLiteral(ArgumentKind kind);
    Argument ReadList(bool fetchItems, std::size_t depth);
    Argument ReadAtom(bool fetchItem, bool inList);
    void ReadSection(std::string& text);

    CommandSource& source_;
    std::size_t limit_ = 0;
    std::size_t used_ = 0;
    bool havePending_ = false;
    char pending_ = 0;
    bool lineEnded_ = false;
    bool discarding_ = false;  // the rest of a refused line: not counted against the limit
    CommandRead result_;
};

}  // namespace pw::imap
