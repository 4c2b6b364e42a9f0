// StoreTypes: checks of the kinds.
#include "store/StoreTypes.h"

namespace pw::store {

bool IsMailBoxType(std::int32_t kind) {
    switch (kind) {
    case NoMailBoxType:
    case PostmasterMailBoxType:
    case UserMailBoxType:
    case ForwardMailBoxType:
    case GroupMailBoxType:
    case MailingListMailBoxType:
    case AutoResponderMailBoxType:
    case RobotMailBoxType:
    case RelayMailBoxType:
    case AliasMailBoxType: return true;
    default: return false;
    }
}

bool IsFolderType(std::int32_t type) { return type >= NormalFolderType && type <= SystemFolderType; }

bool MailBoxHasInbox(std::int32_t kind) {
    return kind == PostmasterMailBoxType || kind == UserMailBoxType || kind == RelayMailBoxType;
}

}  // namespace pw::store
