// ConfigTree: a tree of named values addressed by ":"-separated keys ("sys:smtp:0:port").
//
// The server-wide configuration is one ConfigTree (Configuration.h); every store object and envelope
// carries one more as its property tree, in the same file format. Keys compare without regard to
// case and empty components are skipped ("a::b" is "a:b"). A node keeps the name it was created with;
// children keep the order in which they were added. A node whose value is VT_EMPTY only groups its
// children.
//
// File format (all integers little-endian): version (u32, must be 1), record count (u32), then one
// record per node, parents before children, siblings in order:
//   key length (u32) | key (UTF-8, the node's full key) | VARTYPE (u16) | value
// where the value is 1, 2, 4 or 8 bytes for the fixed-size types, a persisted object (class id + data)
// for VT_DISPATCH / VT_UNKNOWN, and for every other type the value as text: a u32 byte count that
// includes a two-byte terminator, then UTF-16LE text with that terminator (a null text is a count of 0
// alone). Reading checks every length against the bytes that are left before it allocates anything,
// and fills a fresh tree that the caller takes only when the whole file parsed.
//
// Thread safety: every operation takes the tree's lock; Lock() holds it across several operations
// (the configuration's load and save keep it for their file work).
#pragma once

#include "platform/Stream.h"
#include "platform/Variant.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace pw::core {

class ConfigTree {
public:
    // Where NextChild continues: the parent's key and the name of the child it returns next.
    struct Position {
        std::string parentKey;
        std::string childName;
        bool valid = false;
        explicit operator bool() const { return valid; }
    };

    struct Record {
        std::string key;
        Variant value;
    };

    ConfigTree();
    ~ConfigTree();
    ConfigTree(const ConfigTree&) = delete;
    ConfigTree& operator=(const ConfigTree&) = delete;

    // A missing key gives VT_EMPTY and false; a grouping node its empty value and true. The key
    // without components ("") is the root, which groups the top-level nodes.
    bool Get(std::string_view key, Variant& value) const;
    Variant GetCopy(std::string_view key) const;
    // Creates the missing nodes of the path, replaces the value, marks the tree dirty. A key without
    // any component names no node and is refused with false.
    bool Set(std::string_view key, Variant value);
    // Removes the node and everything below it; true when it existed.
    bool Remove(std::string_view key);
    std::size_t ChildCount(std::string_view key) const;
    Position FirstChild(std::string_view key) const;
    // The child at the position (its full key and value); the position moves to the next sibling and
    // is invalid after the last. False when the position is invalid or its child has been removed.
    bool NextChild(Position& position, std::string& key, Variant& value) const;

    std::size_t NodeCount() const;
    bool IsDirty() const;
    void SetDirty(bool dirty);
    // Every node with its full key, parents before children: the order of the file.
    std::vector<Record> Records() const;
    void Clear();

    // The file format. ReadFrom fills this tree only when the whole stream parsed (and leaves it
    // clean); on failure the tree is as it was.
    HRESULT WriteTo(Stream& stream) const;
    HRESULT ReadFrom(Stream& stream);

    std::unique_lock<std::recursive_mutex> Lock() const { return std::unique_lock(lock_); }

    struct Node;

private:
    const Node* Find(std::string_view key) const;

    mutable std::recursive_mutex lock_;
    std::unique_ptr<Node> root_;
    std::size_t count_ = 0;
    bool dirty_ = false;
};

// The components of a key, empty ones skipped.
std::vector<std::string_view> SplitKey(std::string_view key);

}  // namespace pw::core
