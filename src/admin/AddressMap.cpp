// AddressMap ("Pellworth.AddressMap"): an address and the address list it stands for, as a client
// builds one (a pickup's "fromemail" and "toemails", say) before it writes it into the settings.
//
// The map lives in the client's handle only. Addresses are compared without regard to case; SetAt
// replaces the list of an address already there. A position names one entry for as long as it stays:
// GetFirstPosition gives the first, GetNext the entry at a position and the position after it (0
// after the last), in the order the entries were added; a removed entry's position names nothing
// (S_FALSE). The map is bounded (kMaxAddressMapEntries, kMaxAddressMapText).
#include "admin/AdminLimits.h"
#include "admin/ObjectModel.h"
#include "admin/Settings.h"
#include "platform/ClassRegistry.h"
#include "platform/Text.h"

#include <algorithm>
#include <mutex>

namespace pw::admin {

namespace {

const Guid kAddressMapClassId = *Guid::Parse("{5C0E1A57-8E43-4B7B-9D2A-3F61C4A0B8D2}");

class AddressMapObject : public Unknown {
public:
    struct Entry {
        std::int32_t position = 0;
        std::string address;
        std::string list;
    };

    std::int32_t Count() {
        std::lock_guard guard(lock_);
        return static_cast<std::int32_t>(entries_.size());
    }
    std::int32_t FirstPosition() {
        std::lock_guard guard(lock_);
        return entries_.empty() ? 0 : entries_.front().position;
    }
    std::int32_t SetAt(const std::string& address, const std::string& list) {
        if (address.empty() || address.size() > kMaxAddressMapText || list.size() > kMaxAddressMapText) {
            throw ComError(E_INVALIDARG, "an address map keeps non-empty addresses and lists of at most 64 KiB");
        }
        std::lock_guard guard(lock_);
        if (auto found = Find(address); found != entries_.end()) {
            found->list = list;
            return found->position;
        }
        if (entries_.size() >= kMaxAddressMapEntries) throw ComError(E_OUTOFMEMORY, "the address map is full");
        entries_.push_back({++lastPosition_, address, list});
        return lastPosition_;
    }
    bool Remove(const std::string& address) {
        std::lock_guard guard(lock_);
        const auto found = Find(address);
        if (found == entries_.end()) return false;
        entries_.erase(found);
        return true;
    }
    bool RemoveAt(std::int32_t position) {
        std::lock_guard guard(lock_);
        const auto found = At(position);
        if (found == entries_.end()) return false;
        entries_.erase(found);
        return true;
    }
    std::optional<std::string> Lookup(const std::string& address) {
        std::lock_guard guard(lock_);
        const auto found = Find(address);
        return found == entries_.end() ? std::nullopt : std::optional<std::string>(found->list);
    }
    // The entry at a position and the position after it.
    std::optional<std::pair<Entry, std::int32_t>> Next(std::int32_t position) {
        std::lock_guard guard(lock_);
        const auto found = At(position);
        if (found == entries_.end()) return std::nullopt;
        const auto next = std::next(found);
        return std::make_pair(*found, next == entries_.end() ? 0 : next->position);
    }

private:
    std::vector<Entry>::iterator Find(const std::string& address) {
        return std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) { return EqualsNoCase(entry.address, address); });
    }
    // Positions only grow, so the entries stay sorted by them.
    std::vector<Entry>::iterator At(std::int32_t position) {
        const auto found = std::lower_bound(entries_.begin(), entries_.end(), position,
                                            [](const Entry& entry, std::int32_t wanted) { return entry.position < wanted; });
        return found != entries_.end() && found->position == position ? found : entries_.end();
    }

    std::mutex lock_;
    std::vector<Entry> entries_;
    std::int32_t lastPosition_ = 0;
};

}  // namespace

ClassInfo AddressMapClassInfo() { return {kAddressMapClassId, "Pellworth.AddressMap", "AddressMap", {}}; }

void RegisterAddressMapClass() {
    using K = MemberKind;
    using A = std::span<Variant>;
    using M = AddressMapObject;
    RegisterMembers<M>("AddressMap", {
        Member<M>("Count", K::Get, {}, [](M& self, A, const Caller&, CallResult& call) { call.result = Variant::I4(self.Count()); }),
        Member<M>("GetFirstPosition", K::Method, {}, [](M& self, A, const Caller&, CallResult& call) {
            call.result = Variant::I4(self.FirstPosition());
            if (call.result.AsI4() == 0) call.hr = S_FALSE;
        }),
        // Outs: the position after this entry (0 after the last), the address and its list.
        Member<M>("GetNext", K::Method, {VT_I4}, [](M& self, A args, const Caller&, CallResult& call) {
            const auto entry = self.Next(args[0].AsI4());
            if (!entry) {
                call.hr = S_FALSE;
                call.out = {Variant::I4(0), Variant::NullText(), Variant::NullText()};
                return;
            }
            call.out = {Variant::I4(entry->second), Variant::Text(entry->first.address), Variant::Text(entry->first.list)};
        }),
        Member<M>("SetAt", K::Method, {VT_BSTR, VT_BSTR}, [](M& self, A args, const Caller&, CallResult& call) {
            call.result = Variant::I4(self.SetAt(std::string(TrimAscii(args[0].AsText())), args[1].AsText()));
        }),
        Member<M>("Remove", K::Method, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult& call) {
            if (!self.Remove(std::string(TrimAscii(args[0].AsText())))) call.hr = S_FALSE;
        }),
        Member<M>("RemoveAtPos", K::Method, {VT_I4}, [](M& self, A args, const Caller&, CallResult& call) {
            if (!self.RemoveAt(args[0].AsI4())) call.hr = S_FALSE;
        }),
        // Out: the address's list (null when the map does not hold the address: S_FALSE).
        Member<M>("Lookup", K::Method, {VT_BSTR}, [](M& self, A args, const Caller&, CallResult& call) {
            const auto list = self.Lookup(std::string(TrimAscii(args[0].AsText())));
            call.out = {list ? Variant::Text(*list) : Variant::NullText()};
            if (!list) call.hr = S_FALSE;
        }),
    });
    ClassInfo info = AddressMapClassInfo();
    info.factory = [] { return std::make_shared<AddressMapObject>(); };
    ClassRegistry::Instance().Register(std::move(info));
}

}  // namespace pw::admin
