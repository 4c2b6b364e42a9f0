// Domain, Domains.
#include "store/Domain.h"

namespace pw::store {

std::shared_ptr<Domain> Domains::Add(std::string_view name) {
    const std::string folded = Key(name);
    DirStorage created;
    ThrowIfFailed(CreateStoreObject(Parent(), folded, 0, false, created), "can not create the domain " + std::string(name));
    return OpenStoreObject<Domain>(created, RootPath());
}

}  // namespace pw::store
