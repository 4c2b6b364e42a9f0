// Unknown: the base of every automation object -- what the class registry creates and what a
// Variant of VT_DISPATCH or VT_UNKNOWN holds.
//
// It carries no interface of its own: an object is always held by std::shared_ptr<Unknown> (reference
// counted, released by its last user, never deleted by hand), and a caller that needs more casts to
// the class it expects; the virtual destructor lets whichever holder is last end the whole object.
// It has a header of its own so that value types (Variant) and object classes can name it without
// the class registry's machinery.
// Thread safety: nothing to guard; the reference count of std::shared_ptr is atomic.
#pragma once

namespace pw::platform {

class Unknown {
public:
    virtual ~Unknown() = default;
};

}  // namespace pw::platform

namespace pw {
using namespace platform;  // the vocabulary of every folder (README.md)
}  // namespace pw
