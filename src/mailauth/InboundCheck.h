// InboundCheck: SPF, DKIM and DMARC on a message from outside, their results in one
// "Authentication-Results:" field (RFC 8601) at the top of the message (right below this server's
// Received field), and what DMARC's verdict
// does ("sys:spam:dmarc:action").
//
// The intake calls it on the stored content just before the envelope is published, for clients that
// neither authenticated nor may relay. All its DNS shares one budget (AuthDns): a DNS failure is
// "temperror" and never refuses by itself. Fields that claim to come from this server (an
// Authentication-Results with our name) are dropped from the header the sender wrote, so nobody can
// plant a result of ours. Action 0 only adds the field; 1 (the default) has the router treat the
// message as spam (envelope property "SMTP_DMARCSPAM", the spam action decides) when DMARC fails for
// a domain whose policy is quarantine or reject; 2 refuses it ("550 5.7.1") when the policy is reject,
// and nothing is stored.
// Thread safety: one call per thread.
#pragma once

#include "mailauth/AuthDns.h"
#include "mailauth/DmarcCheck.h"
#include "platform/FileStream.h"
#include "store/Envelope.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace pw::core {
class ConfigTree;
}

namespace pw::mailauth {

inline constexpr std::string_view kDmarcActionKey = "sys:spam:dmarc:action";
inline constexpr std::string_view kDmarcSpamKey = "SMTP_DMARCSPAM";
inline constexpr std::string_view kDmarcRefusal = "550 5.7.1 Message refused: the sender's domain publishes a DMARC reject policy and the message fails it";

enum DmarcActionEnum : std::int32_t { DmarcActionNone = 0, DmarcActionMark = 1, DmarcActionRefuse = 2 };

struct InboundFacts {
    std::string authservId;     // this server's name
    std::string clientAddress;  // dotted IPv4 or IPv6 text
    std::string helo;
    std::string sender;  // local@domain, empty for the null sender
};

struct InboundResults {
    SpfOutcome spf;
    std::vector<DkimOutcome> dkim;
    DmarcOutcome dmarc;
    std::string field;  // "Authentication-Results: ..." with CR LF ends
};

// Runs the three checks over the content (read from its start) and composes the field.
InboundResults RunChecks(const InboundFacts& facts, DnsLookups& dns, Stream& content);

// The field for these results, folded one result a line.
std::string AuthenticationResultsField(std::string_view authservId, const InboundResults& results);

// Puts `field` at the top of the content, below the Received field the intake wrote first, and drops the sender's fields that claim `authservId`; the
// rest of the content shifts in place. Throws ComError when the store fails.
void InsertAtTop(Stream& content, std::string_view field, std::string_view authservId);

// The whole intake step: checks, field, and the action as configured; false when the message is to
// be refused with kDmarcRefusal (nothing changed is kept).
bool CheckInbound(std::string_view authservId, Stream& content, store::Envelope& envelope, const core::ConfigTree& config);

}  // namespace pw::mailauth
