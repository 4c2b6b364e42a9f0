// TreePositions: the numbers administration clients hold for places in a property or settings tree.
//
// GetFirstChildPosition and GetPosition answer a long that GetNextChild takes and gives back moved
// on; the tree's own position is a parent key and a child name, so each object keeps a table of them.
// 0 is no position (a missing key, the end of the children). The table is bounded: past
// kMaxTreePositions the oldest number is taken for the new place, and a client still holding it
// then walks from there (a walk in progress renews its own number with each step).
// Thread safety: its own lock; any thread.
#pragma once

#include "admin/AdminLimits.h"
#include "core/ConfigTree.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace pw::admin {

class TreePositions {
public:
    // The number of a new place; 0 for no place.
    std::int32_t Add(core::ConfigTree::Position position) {
        if (!position) return 0;
        std::lock_guard guard(lock_);
        if (places_.size() < kMaxTreePositions) {
            places_.push_back(std::move(position));
            return static_cast<std::int32_t>(places_.size());
        }
        const std::size_t slot = oldest_;
        oldest_ = (oldest_ + 1) % places_.size();
        places_[slot] = std::move(position);
        return static_cast<std::int32_t>(slot + 1);
    }
    // The place of a number; nullopt for 0 or a number never given.
    std::optional<core::ConfigTree::Position> Find(std::int32_t number) const {
        std::lock_guard guard(lock_);
        if (number <= 0 || static_cast<std::size_t>(number) > places_.size()) return std::nullopt;
        return places_[static_cast<std::size_t>(number) - 1];
    }
    // The number now stands for the moved place (0 when the walk is at its end).
    std::int32_t Move(std::int32_t number, core::ConfigTree::Position position) {
        if (!position) return 0;
        std::lock_guard guard(lock_);
        places_[static_cast<std::size_t>(number) - 1] = std::move(position);
        return number;
    }

private:
    mutable std::mutex lock_;
    std::vector<core::ConfigTree::Position> places_;
    std::size_t oldest_ = 0;
};

}  // namespace pw::admin
