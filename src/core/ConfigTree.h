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
// An object of a class this build does not know (a file written by a newer server, or with a plug-in
// that is gone) can not be skipped: the format gives its data no length. Its record and every record
// after it are kept unread, byte for byte, as the tree's unread part: the key reads as missing, the
// records before it read as usual, and writing puts the unread part back after the tree's own records,
// where it begins at a record boundary again. A value set here for a key that also stands in the
// unread part wins when this build reads the file, since it never reads past the unknown object.
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
#include <optional>
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

    // The records kept unread from the object of an unknown class onward (see above).
    struct UnreadPart {
        std::string key;           // the key of the unknown object
        std::uint32_t records = 0;  // how many records the bytes hold, that one included
        std::vector<std::byte> bytes;
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
    // Empties the tree, its unread part included.
    void Clear();
    // What the last read kept unread; nullopt when it read every record.
    std::optional<UnreadPart> Unread() const;

    // The file format. ReadFrom fills this tree only when the stream parsed up to its end or up to an
    // object of an unknown class (and leaves it clean); on failure the tree is as it was.
    // A tree that is followed by other data in its stream (an envelope record) can not keep an unread
    // part, since that would swallow what follows: there an unknown object fails the read.
    enum class UnknownObjects { KeepUnread, Fail };
    HRESULT WriteTo(Stream& stream) const;
    HRESULT ReadFrom(Stream& stream, UnknownObjects unknown = UnknownObjects::KeepUnread);

    std::unique_lock<std::recursive_mutex> Lock() const { return std::unique_lock(lock_); }

    struct Node;

private:
    const Node* Find(std::string_view key) const;

    mutable std::recursive_mutex lock_;
    std::unique_ptr<Node> root_;
    std::size_t count_ = 0;
    std::optional<UnreadPart> unread_;
    bool dirty_ = false;
};

// The components of a key, empty ones skipped.
std::vector<std::string_view> SplitKey(std::string_view key);

}  // namespace pw::core
