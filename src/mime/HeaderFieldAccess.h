// HeaderFieldAccess: the header-field and content-type accessors a message and a part share, over the
// header block each keeps.
//
// Message and MessagePart answer the same field questions of their own header; this base holds those
// answers once. The owner keeps its block in `header_` and befriends this base, so neither the owner's
// layout nor its other members change.
// Thread safety: that of the owner.
#pragma once

#include "mime/HeaderBlock.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace pw::mime {

template <class Owner>
class HeaderFieldAccess {
public:
    std::string HeaderField(std::string_view name) const { return Block().Field(name); }
    void SetHeaderField(std::string_view name, std::string_view value) { Block().SetField(name, value); }
    std::size_t CountHeaderFields() const { return Block().Count(); }
    std::string HeaderFieldAt(std::string_view name, std::size_t which) const { return Block().Field(name, which); }

    std::string ContentType() const { return Block().ContentType(); }
    std::string ContentSubType() const { return Block().ContentSubType(); }
    std::string ContentSubTypeParameters() const { return Block().ContentSubTypeParameters(); }
    void SetContentType(std::string_view type, std::string_view subType, std::string_view parameters) {
        Block().SetContentType(type, subType, parameters);
    }
    std::string ContentTransferEncoding() const { return Block().ContentTransferEncoding(); }
    void SetContentTransferEncoding(std::string_view value) { Block().SetField("Content-Transfer-Encoding", value); }

private:
    const HeaderBlock& Block() const { return static_cast<const Owner&>(*this).header_; }
    HeaderBlock& Block() { return static_cast<Owner&>(*this).header_; }
};

}  // namespace pw::mime
