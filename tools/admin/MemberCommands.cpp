// MemberCommands: "member add|remove LIST ADDRESS" and "member list LIST" -- a mailing list's member
// database (src/lists), also while a server runs: SQLite serialises the writers, and the routers
// read the members afresh for every message. While a server holds the store, adding and removing go
// through its endpoint (MailBox.MailingList.MLMembers): the server is the store's one writer.
#include "AdminSupport.h"
#include "EndpointClient.h"

#include <cstdio>

#include "lists/MailingList.h"
#include "platform/HResult.h"
#include "store/MessageStore.h"

namespace pw::admin {

namespace {

lists::MailingList OpenList(std::string_view address) {
    std::shared_ptr<store::MessageStore> messageStore;
    try {
        messageStore = store::MessageStore::OpenOrCreate(StoreRoot(false).Path());
    } catch (const ComError& error) {
        throw Failure{std::string("can not open the message store: ") + error.what()};
    }
    auto mailbox = messageStore->FindMailBox(address);
    if (!mailbox || mailbox->MailBoxType() != store::MailingListMailBoxType) {
        throw Failure{"no such mailing list: " + std::string(address)};
    }
    return lists::MailingList(std::move(mailbox));
}

// The change through the running server; false when none runs.
bool ServerChange(Arguments args) {
    auto server = EndpointClient::IfServerRuns(StoreRoot(false));
    if (!server) return false;
    const std::string address(args[1]);
    const auto mailbox = server->ObjectOf("call", Json("Pellworth.MessageStore"), "FindMailBox", {Variant::Text(address)});
    if (!mailbox || server->Checked("get", *mailbox, "MailBoxType", {}).result.AsI4() != store::MailingListMailBoxType) {
        throw Failure{"no such mailing list: " + address};
    }
    const std::string list = server->Checked("get", *mailbox, "Address", {}).result.AsText();
    const Json members = *server->ObjectOf("get", *server->ObjectOf("get", *mailbox, "MailingList", {}), "MLMembers", {});
    const EndpointReply reply = server->Request("call", members, args[0] == "add" ? "Add" : "Remove", {Variant::Text(std::string(args[2]))});
    if (args[0] == "add" && reply.hr == STG_E_FILEALREADYEXISTS) throw Failure{std::string(args[2]) + " is already a member of " + list};
    if (args[0] == "remove" && reply.hr == E_INVALIDARG) throw Failure{std::string(args[2]) + " is not a member of " + list};
    if (Failed(reply.hr)) throw Failure{"the server refused the change: " + reply.error + " (" + HresultText(reply.hr) + ")"};
    return true;
}

int Dispatch(Arguments args) {
    if (args.size() == 3 && (args[0] == "add" || args[0] == "remove")) {
        if (ServerChange(args)) return 0;
        auto list = OpenList(args[1]);
        auto members = list.Members();
        if (args[0] == "add") {
            try {
                members->Add(args[2]);
            } catch (const ComError& error) {
                if (error.Code() == STG_E_FILEALREADYEXISTS) throw Failure{std::string(args[2]) + " is already a member of " + list.Address()};
                throw;
            }
        } else if (!members->Remove(args[2])) {
            throw Failure{std::string(args[2]) + " is not a member of " + list.Address()};
        }
        return 0;
    }
    if (args.size() == 2 && args[0] == "list") {
        auto list = OpenList(args[1]);
        auto members = list.Members();
        for (auto batch = members->Next(lists::kDistributionBatch); !batch.empty(); batch = members->Next(lists::kDistributionBatch)) {
            for (const auto& member : batch) std::printf("%s\n", member.Address().c_str());
        }
        return 0;
    }
    return -1;
}

}  // namespace

int MemberCommand(Arguments args) {
    try {
        return Dispatch(args);
    } catch (const ComError& error) {
        throw Failure{error.what()};
    }
}

}  // namespace pw::admin
