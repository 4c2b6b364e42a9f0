// CommandValue: what a "set" line of a command message may write -- the value its type word makes
// of its text, and whether its name is one an owner may set by mail at all.
//
// Conversions never depend on the locale: integers are decimal and must fit their type, reals and
// currency use "." ("12.34"), dates are "YYYY-MM-DD[ HH:MM[:SS]]" or "M/D/YYYY". A text that does
// not convert, or a number that does not fit, is refused, never wrapped or cut.
// Thread safety: pure functions.
#pragma once

#include "platform/Variant.h"

#include <optional>
#include <string_view>

namespace pw::mailcommands {

enum class ValueResult {
    Value,        // `value` holds what to store
    Remove,       // "VOID": the setting is removed
    UnknownType,  // the type word is not one of the table
    BadValue,     // the text is no value of that type, or it does not fit
};

// The value of `text` as the type word (any case) says.
ValueResult ConvertValue(std::string_view typeWord, std::string_view text, Variant& value);
// "BSTR" or "STR" (any case): the types whose empty value starts a block of lines.
bool IsTextType(std::string_view typeWord);
// May an owner set this name by mail? The mailbox's own settings ("mailbox:password",
// "mailbox:comment", the auto-reply), its quotas ("user:quota:"), its forwarding and alias settings
// ("alias:"), group settings ("group:") and the list settings ("ml."). Never the store's own keys
// ("_Type", the raw "_Password", rights), a relay or route, the member database's place, or the
// router's records: those turn a mailbox into something else or point the server at files.
bool IsSettableName(std::string_view name);

}  // namespace pw::mailcommands
