// ConfigTree: the in-memory tree -- lookup, insertion, removal and walking.
#include "core/ConfigTree.h"

#include "platform/Text.h"

namespace pw::core {

struct ConfigTree::Node {
    std::string name;
    Variant value;
    std::vector<std::unique_ptr<Node>> children;

    Node* Child(std::string_view childName) const {
        for (const auto& child : children) {
            if (EqualsNoCase(child->name, childName)) return child.get();
        }
        return nullptr;
    }

    std::size_t SubtreeSize() const {
        std::size_t size = 1;
        for (const auto& child : children) size += child->SubtreeSize();
        return size;
    }
};

std::vector<std::string_view> SplitKey(std::string_view key) {
    std::vector<std::string_view> components;
    while (!key.empty()) {
        const std::size_t colon = key.find(':');
        const std::string_view component = key.substr(0, colon);
        if (!component.empty()) components.push_back(component);
        if (colon == std::string_view::npos) break;
        key.remove_prefix(colon + 1);
    }
    return components;
}

ConfigTree::ConfigTree() : root_(std::make_unique<Node>()) {}
ConfigTree::~ConfigTree() = default;

const ConfigTree::Node* ConfigTree::Find(std::string_view key) const {
    const Node* node = root_.get();
    for (const std::string_view component : SplitKey(key)) {
        node = node->Child(component);
        if (!node) return nullptr;
    }
    return node;
}

bool ConfigTree::Get(std::string_view key, Variant& value) const {
    std::lock_guard guard(lock_);
    const Node* node = Find(key);
    value = node ? node->value : Variant();
    return node != nullptr;
}

Variant ConfigTree::GetCopy(std::string_view key) const {
    Variant value;
    Get(key, value);
    return value;
}

bool ConfigTree::Set(std::string_view key, Variant value) {
    const auto components = SplitKey(key);
    if (components.empty()) return false;
    std::lock_guard guard(lock_);
    Node* node = root_.get();
    for (const std::string_view component : components) {
        Node* child = node->Child(component);
        if (!child) {
            node->children.push_back(std::make_unique<Node>());
            child = node->children.back().get();
            child->name = component;
            ++count_;
        }
        node = child;
    }
    node->value = std::move(value);
    dirty_ = true;
    return true;
}

bool ConfigTree::Remove(std::string_view key) {
    const auto components = SplitKey(key);
    if (components.empty()) return false;
    std::lock_guard guard(lock_);
    Node* parent = root_.get();
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        parent = parent->Child(components[i]);
        if (!parent) return false;
    }
    auto& siblings = parent->children;
    for (auto it = siblings.begin(); it != siblings.end(); ++it) {
        if (EqualsNoCase((*it)->name, components.back())) {
            count_ -= (*it)->SubtreeSize();
            siblings.erase(it);
            dirty_ = true;
            return true;
        }
    }
    return false;
}

std::size_t ConfigTree::ChildCount(std::string_view key) const {
    std::lock_guard guard(lock_);
    const Node* node = Find(key);
    return node ? node->children.size() : 0;
}

ConfigTree::Position ConfigTree::FirstChild(std::string_view key) const {
    std::lock_guard guard(lock_);
    const Node* node = Find(key);
    if (!node || node->children.empty()) return {};
    return Position{std::string(key), node->children.front()->name, true};
}

bool ConfigTree::NextChild(Position& position, std::string& key, Variant& value) const {
    if (!position) return false;
    std::lock_guard guard(lock_);
    const Node* parent = Find(position.parentKey);
    if (!parent) {
        position = {};
        return false;
    }
    auto& siblings = parent->children;
    for (std::size_t i = 0; i < siblings.size(); ++i) {
        if (!EqualsNoCase(siblings[i]->name, position.childName)) continue;
        // The full key joins the stored names from the root.
        key.clear();
        const Node* walk = root_.get();
        for (const std::string_view component : SplitKey(position.parentKey)) {
            walk = walk->Child(component);
            key += walk->name + ":";
        }
        key += siblings[i]->name;
        value = siblings[i]->value;
        if (i + 1 < siblings.size()) {
            position.childName = siblings[i + 1]->name;
        } else {
            position = {};
        }
        return true;
    }
    position = {};
    return false;
}

std::size_t ConfigTree::NodeCount() const {
    std::lock_guard guard(lock_);
    return count_;
}

bool ConfigTree::IsDirty() const {
    std::lock_guard guard(lock_);
    return dirty_;
}

void ConfigTree::SetDirty(bool dirty) {
    std::lock_guard guard(lock_);
    dirty_ = dirty;
}

namespace {

void CollectRecords(const ConfigTree::Node& node, const std::string& prefix, std::vector<ConfigTree::Record>& out) {
    const std::string key = prefix.empty() ? node.name : prefix + ":" + node.name;
    out.push_back({key, node.value});
    for (const auto& child : node.children) CollectRecords(*child, key, out);
}

}  // namespace

std::vector<ConfigTree::Record> ConfigTree::Records() const {
    std::lock_guard guard(lock_);
    std::vector<Record> records;
    records.reserve(count_);
    for (const auto& child : root_->children) CollectRecords(*child, "", records);
    return records;
}

void ConfigTree::Clear() {
    std::lock_guard guard(lock_);
    if (count_ != 0) dirty_ = true;
    if (unread_) dirty_ = true;
    root_ = std::make_unique<Node>();
    count_ = 0;
    unread_.reset();
}

std::optional<ConfigTree::UnreadPart> ConfigTree::Unread() const {
    std::lock_guard guard(lock_);
    return unread_;
}

}  // namespace pw::core
