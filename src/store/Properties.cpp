// Properties: a property tree with the record of its changes.
#include "store/Properties.h"

namespace pw::store {

bool Properties::SetItem(std::string_view key, Variant value) {
    if (!tree_.Set(key, value)) return false;
    changes_.push_back({std::string(key), std::move(value)});
    return true;
}

bool Properties::Remove(std::string_view key) {
    if (!tree_.Remove(key)) return false;
    changes_.push_back({std::string(key), std::nullopt});
    return true;
}

Properties::Position Properties::GetPosition(std::string_view key) const {
    const auto parts = core::SplitKey(key);
    Variant ignored;
    if (parts.empty() || !tree_.Get(key, ignored)) return {};
    std::string parent;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        if (!parent.empty()) parent += ':';
        parent += parts[i];
    }
    return Position{parent, std::string(parts.back()), true};
}

void Properties::Copy(const Properties& from) {
    for (auto& record : from.tree_.Records()) {
        if (!record.value.IsEmpty()) SetItem(record.key, std::move(record.value));
    }
}

std::string Properties::Text(std::string_view key) const {
    Variant value;
    if (!tree_.Get(key, value)) return {};
    if (value.IsText()) return value.AsText();
    std::string text;
    return Succeeded(value.ToText(text)) ? text : std::string();
}

std::int32_t Properties::Number(std::string_view key, std::int32_t missing) const {
    Variant value;
    if (!tree_.Get(key, value) || value.IsEmpty()) return missing;
    return value.AsI4();
}

void Properties::ApplyChangesTo(core::ConfigTree& tree) const {
    for (const Change& change : changes_) {
        if (change.value) {
            tree.Set(change.key, *change.value);
        } else {
            tree.Remove(change.key);
        }
    }
}

HRESULT Properties::ReadFrom(Stream& stream, core::ConfigTree::UnknownObjects unknown) {
    const HRESULT hr = tree_.ReadFrom(stream, unknown);
    if (Succeeded(hr)) changes_.clear();
    return hr;
}

}  // namespace pw::store
