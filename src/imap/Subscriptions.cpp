// Subscriptions: the subscribed names, read, replaced whole, and carried along a DELETE or RENAME.
#include "imap/Subscriptions.h"

#include <algorithm>

#include "imap/ImapReplies.h"
#include "imap/ModifiedUtf7.h"
#include "platform/DirStorage.h"
#include "platform/Text.h"

namespace pw::imap {

namespace {

constexpr std::string_view kSubscriptionsFile = "SUBSCRIBE";

// Where a name's first `levels` levels end: the place of its levels-th "/" (npos when it has fewer).
std::size_t LevelEnd(std::string_view name, std::size_t levels) {
    std::size_t at = std::string_view::npos;
    for (std::size_t level = 0; level < levels; ++level) {
        at = name.find('/', level == 0 ? 0 : at + 1);
        if (at == std::string_view::npos) break;
    }
    return at;
}

}  // namespace

std::vector<std::string> Subscriptions::Names() const {
    std::vector<std::byte> bytes;
    std::unique_ptr<FileStream> stream;
    if (Failed(DirStorage(directory_).OpenStream(kSubscriptionsFile, STGM_READ | STGM_SHARE_DENY_NONE, stream)) ||
        Failed(ReadToEnd(*stream, bytes))) {
        return {};  // none yet
    }
    return SplitAtAny(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), "\r\n");
}

bool Subscriptions::Write(const std::vector<std::string>& names) const {
    std::string text;
    for (const std::string& n : names) text += n + "\r\n";
    // Replaced whole (written aside, then renamed over), never rewritten in place.
    const HRESULT hr = DirStorage(directory_).ReplaceStream(kSubscriptionsFile, std::as_bytes(std::span(text.data(), text.size())));
    if (Succeeded(hr)) return true;
    ImapLog('E', Format("WriteSubscribedFolders:  replacing \"%s%s\" failed with %s",
                    {std::string_view(directory_), kSubscriptionsFile, std::string_view(HresultText(hr))}));
    return false;
}

void Subscriptions::Carry(std::string_view from, std::optional<std::string_view> to) const {
    // Names are compared decoded, without regard to case, as the store looks folders up. "/" never
    // stands inside a modified UTF-7 run, so a subscription's raw levels are its decoded ones.
    const std::size_t levels = static_cast<std::size_t>(std::count(from.begin(), from.end(), '/')) + 1;
    std::vector<std::string> names;
    // A name subscribed before its folder existed may already stand where a renamed one goes.
    const auto add = [&names](std::string name) {
        if (std::none_of(names.begin(), names.end(), [&](const std::string& n) { return EqualsNoCase(n, name); })) {
            names.push_back(std::move(name));
        }
    };
    bool changed = false;
    for (std::string& raw : Names()) {
        const DecodedMailboxName name = DecodeModifiedUtf7(raw);
        const bool same = name.Ok() && EqualsNoCase(name.name, from);
        const bool below = name.Ok() && StartsWithNoCase(name.name, std::string(from) + "/");
        // DELETE leaves the levels below subscribed: a name may be subscribed with no folder behind it.
        if (!same && !(below && to)) {
            add(std::move(raw));
            continue;
        }
        changed = true;
        if (to) add(std::string(*to) + (same ? std::string() : raw.substr(LevelEnd(raw, levels))));
    }
    // The folder has already changed; a subscription left behind is logged, not a failed command.
    if (changed) (void)Write(names);
}

}  // namespace pw::imap
