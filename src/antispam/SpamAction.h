// SpamAction: what happens to a message judged spam (by the enemy senders list, the charset filter,
// or an external classifier), as "sys:spam:action" says, read at that moment.
//
// SpamActionDelete: the message is not delivered. SpamActionSubject with a "sys:spam:preappend" text:
// the subject gets the text in front of it (no separator, as peers have always written it), unless it
// already starts with it -- a message judged twice is not marked twice -- and a CR or LF in the text is
// dropped, so it never starts a header line. The new content replaces the old atomically (only the
// header is rewritten; the body's bytes stay as they are) before "SpamStatus" 1 is written with the
// record, and both before any recipient is handled: a crash in between judges the message again and
// finds the subject already marked.
// Thread safety: one envelope per thread, as the router's.
#pragma once

#include "core/ConfigTree.h"
#include "store/Envelope.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pw::antispam {

enum SpamActionEnum : std::int32_t {
    SpamActionNone = 0,
    SpamActionDelete = 1,
    SpamActionSubject = 2,
};

inline constexpr std::string_view kSpamActionKey = "sys:spam:action";
inline constexpr std::string_view kSpamPrefixKey = "sys:spam:preappend";
inline constexpr std::int32_t kSpamStatusSpam = 1;
inline constexpr std::int32_t kSpamStatusClean = 2;

// The subject with the prefix (CR and LF dropped) in front, unless it already starts with it.
std::string PrefixedSubject(std::string_view subject, std::string_view prefix);
// A message's content with a new subject: only the header changes; its body's bytes are kept.
std::string ReplaceSubject(std::string_view content, std::string_view subject);

// A header field the judging check adds (the classifier's report): every field of that name the
// message came with is dropped first, so a sender can not plant one.
struct AddedField {
    std::string name;
    std::string value;
};

// Runs the action on a spam envelope: false when it is not to be delivered; otherwise its subject is
// marked as configured and "SpamStatus" 1 written (throws ComError when a write fails). Fields to add
// go into the same replacement of the content as the marked subject.
bool ApplySpamAction(store::Envelope& envelope, core::ConfigTree& config, const std::vector<AddedField>& fields = {});
// A message judged clean with fields to add: the new content replaces the old atomically, then
// "SpamStatus" 2 is written with the record, both before any recipient is handled.
void MarkCleanWithFields(store::Envelope& envelope, const std::vector<AddedField>& fields);

}  // namespace pw::antispam
