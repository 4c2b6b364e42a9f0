// Recipients: the recipient list of an envelope, and its form in the ".env" record.
//
// On disk: a 32-bit little-endian count, then per recipient a 32-bit byte count that includes a
// two-byte terminator (0 for a null text) and that many bytes of UTF-16LE text. Reading checks every
// count against the bytes that are left before allocating anything.
// Thread safety: a value; one thread at a time.
#pragma once

#include "platform/Stream.h"

#include <string>
#include <string_view>
#include <vector>

namespace pw::store {

class Recipients {
public:
    const std::string& Item(std::size_t index) const { return addresses_.at(index); }
    std::size_t Count() const { return addresses_.size(); }
    void Add(std::string_view address) { addresses_.emplace_back(address); }
    // Removes every entry equal to the address without regard to case; false when there was none.
    // Linear in the list: callers striking many entries use Assign.
    bool Remove(std::string_view address);
    void Clear() { addresses_.clear(); }
    // Replaces the whole list at once (a router writing its progress strikes many in one go).
    void Assign(std::vector<std::string> addresses) { addresses_ = std::move(addresses); }
    void RemoveAt(std::size_t index);
    const std::vector<std::string>& All() const { return addresses_; }

    [[nodiscard]] HRESULT Save(Stream& stream) const;
    [[nodiscard]] HRESULT Load(Stream& stream);

private:
    std::vector<std::string> addresses_;
};

}  // namespace pw::store
