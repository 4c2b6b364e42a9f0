// LocalRecipient: what the router makes of a local part of one of its domains -- a name it discards,
// the command processor's address, a list request, a mailbox, or an unknown one -- in one place, so
// that the SMTP server's RCPT and the router's delivery always agree.
// Thread safety: reads the store; any thread.
#pragma once

#include <memory>
#include <string_view>

#include "lists/ListServer.h"
#include "store/Domain.h"
#include "store/MailBox.h"

namespace pw::router {

// What the router makes of a local part of one of its domains; `mailbox` receives the mailbox when
// there is one. ListCommands is "listserver"/"listserv"; ListRequest a list's confirmation, shortcut
// or bounce address (lists::FindListAddress), found before the mailbox lookup; Commands is "command"
// (mailcommands::CommandProcessor).
enum class LocalRecipient { Discarded, Commands, ListCommands, ListRequest, MailBox, Unknown };
LocalRecipient ClassifyLocalRecipient(const store::Domain& domain, std::string_view local,
                                      std::shared_ptr<store::MailBox>* mailbox = nullptr, lists::ListAddress* request = nullptr);
// Would mail to this local part go back to its sender as unknown (the domain's rule 0)? The SMTP
// server refuses such a recipient at RCPT: accepting it would send a notice to a sender who is often
// forged, which puts a server on backscatter block lists.
bool RefusedAsUnknown(const store::Domain& domain, std::string_view local);

}  // namespace pw::router
