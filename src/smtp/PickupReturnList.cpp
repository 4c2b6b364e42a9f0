// PickupReturnList: the listed addresses, each with the pickups that listed it, and the count.
#include "smtp/PickupReturnList.h"

namespace pw::smtp {

PickupReturnList& PickupReturnList::Instance() {
    static PickupReturnList list;
    return list;
}

void PickupReturnList::Add(const IpAddress& address, int pickup) {
    std::lock_guard guard(lock_);
    listed_.emplace(address, pickup);
}

bool PickupReturnList::Contains(const IpAddress& address) const {
    std::lock_guard guard(lock_);
    return listed_.contains(address);
}

void PickupReturnList::Remove(const IpAddress& address, int pickup) {
    std::lock_guard guard(lock_);
    const auto [first, last] = listed_.equal_range(address);
    for (auto it = first; it != last; ++it) {
        if (it->second == pickup) {
            listed_.erase(it);
            return;
        }
    }
}

int PickupReturnList::ReturnedSessions() const {
    std::lock_guard guard(lock_);
    return returned_;
}

std::optional<int> PickupReturnList::TakeReturned(const IpAddress& address) {
    std::lock_guard guard(lock_);
    const auto it = listed_.find(address);
    if (it == listed_.end()) return std::nullopt;
    const int pickup = it->second;
    listed_.erase(it);
    ++returned_;
    return pickup;
}

void PickupReturnList::SessionEnded() {
    std::lock_guard guard(lock_);
    --returned_;
}

ReturnedSession::ReturnedSession(const IpAddress& clientAddress) : pickup_(PickupReturnList::Instance().TakeReturned(clientAddress)) {}

ReturnedSession::~ReturnedSession() {
    if (pickup_) PickupReturnList::Instance().SessionEnded();
}

}  // namespace pw::smtp
