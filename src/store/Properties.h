// Properties: the property tree of a store object or an envelope, as its users see it (IProperties).
//
// A ConfigTree (same keys, same file format) plus the list of changes made through this object since
// it was read. The owner's Update replays that list onto a fresh read of the file under the file's
// lock, so two objects that change different keys of one mailbox never lose each other's work; the
// last writer of one key wins. Refresh and Update leave the tree equal to what the file holds.
// Thread safety: one thread at a time per object (store objects are created per use).
#pragma once

#include "core/ConfigTree.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pw::store {

class Properties {
public:
    using Position = core::ConfigTree::Position;

    // VT_EMPTY when the key is missing.
    Variant Item(std::string_view key) const { return tree_.GetCopy(key); }
    bool Get(std::string_view key, Variant& value) const { return tree_.Get(key, value); }
    // False for a key without any component.
    bool SetItem(std::string_view key, Variant value);
    bool Remove(std::string_view key);
    std::size_t CountChildren(std::string_view key) const { return tree_.ChildCount(key); }
    // The position of the key among its siblings (invalid when the key is missing).
    Position GetPosition(std::string_view key) const;
    Position GetFirstChildPosition(std::string_view key) const { return tree_.FirstChild(key); }
    bool GetNextChild(Position& position, std::string& key, Variant& value) const {
        return tree_.NextChild(position, key, value);
    }
    // Takes every value of the other tree (recorded as changes of this one).
    void Copy(const Properties& from);

    // Texts and numbers with a default for a missing key.
    std::string Text(std::string_view key) const;
    std::int32_t Number(std::string_view key, std::int32_t missing = 0) const;

    bool HasChanges() const { return !changes_.empty(); }
    void ApplyChangesTo(core::ConfigTree& tree) const;
    void ClearChanges() { changes_.clear(); }

    const core::ConfigTree& Tree() const { return tree_; }
    // The file format; ReadFrom forgets the recorded changes when it succeeds.
    [[nodiscard]] HRESULT WriteTo(Stream& stream) const { return tree_.WriteTo(stream); }
    [[nodiscard]] HRESULT ReadFrom(Stream& stream,
                                   core::ConfigTree::UnknownObjects unknown = core::ConfigTree::UnknownObjects::KeepUnread);

private:
    struct Change {
        std::string key;
        std::optional<Variant> value;  // nullopt: removed
    };

    core::ConfigTree tree_;
    std::vector<Change> changes_;
};

}  // namespace pw::store
