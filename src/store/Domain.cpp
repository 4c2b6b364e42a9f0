// Domain, Domains.
#include "store/Domain.h"

namespace pw::store {

std::shared_ptr<Domain> Domains::Add(std::string_view name) {
    const std::string folded = Key(name);
    DirStorage created;
    // The same domain under its other spelling is the same domain.
    if (FindChild(folded, created)) throw ComError(STG_E_ALREADYEXISTS, "the domain " + std::string(name) + " exists");
    ThrowIfFailed(CreateStoreObject(Parent(), folded, 0, false, created), "can not create the domain " + std::string(name));
    return OpenStoreObject<Domain>(created, RootPath());
}

}  // namespace pw::store
