// MemberCommands: "member add|remove LIST ADDRESS" and "member list LIST" -- a mailing list's member
// database (src/lists), also while a server runs: SQLite serialises the writers, and the routers
// read the members afresh for every message.
#include "AdminSupport.h"

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

int Dispatch(Arguments args) {
    if (args.size() == 3 && (args[0] == "add" || args[0] == "remove")) {
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
