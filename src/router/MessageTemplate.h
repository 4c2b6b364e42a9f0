// MessageTemplate (router's view): the server's own messages -- notices and template messages -- are
// built by src/templates/, a layer below the router that the list server shares. The router's code
// names them as its own, so they are brought into its namespace here.
#pragma once

#include "templates/MessageTemplate.h"

namespace pw::router {

using templates::ComposeFromTemplate;
using templates::DsnAction;
using templates::DsnDelayed;
using templates::DsnDelivered;
using templates::DsnExpanded;
using templates::DsnFailed;
using templates::DsnRecipient;
using templates::DsnRelayed;
using templates::MessageTemplate;
using templates::SendNotification;
using templates::SendTemplateMessage;
using templates::SendVirusNotice;
using templates::TemplatePath;

}  // namespace pw::router
