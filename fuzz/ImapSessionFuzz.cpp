// Fuzz target: an IMAP client may send anything, in any order, and hang up anywhere -- in a literal,
// an AUTHENTICATE exchange or an IDLE. The session must answer without crashing, greet, never fall
// back on "BAD Internal server failure", end at the end of the stream, and leave behind neither a
// staged APPEND nor a descriptor.
//
// The mailbox the client logs in to (john@example.com, password "secret") is made once per process
// and put back before each input where the last one changed it: an inbox with a multipart message
// (a nested message/rfc822 part, base64 and an unknown transfer encoding), a plain one and one cut
// short; a folder "Archive" of the user's own; the public folders "Team" (every right) and "Notices"
// (list and read only); a subscription. A folder is put back when its directory's modification time
// moved (every added, removed or rewritten message record is a rename into it), and the user's and
// the public folder lists when they hold other names.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "SessionFuzzSupport.h"
#include "imap/ImapServer.h"
#include "imap/ImapSession.h"
#include "platform/DirStorage.h"
#include "platform/Text.h"
#include "store/Envelopes.h"
#include "store/MailBox.h"

namespace {

using namespace pw;

// COPY into the folder it copies from doubles it, and the store has no quota to stop that; an input
// with more COPY commands than this is passed over, so that one input stays short whatever it holds.
constexpr std::size_t kMaxCopies = 6;
// Descriptors the process may hold beyond those it held after the first input: the IDLE watch's
// one instance for the process and the like. A leak of one per input passes this within a run.
constexpr std::size_t kDescriptorSlack = 8;
constexpr std::string_view kGreeting = "* OK Quillon IMAP4rev1 Server Ready!\r\n";
constexpr std::string_view kFallbackReply = " BAD Internal server failure\r\n";
constexpr std::string_view kFlagsKey = "_ImapFlags";
constexpr std::string_view kAclDefaultKey = "_ACL:Members:default";

struct Seed {
    std::string content;
    std::uint16_t flags = 0;  // stored flags (imap/MessageVector.h bits); 0 leaves the message recent
};

// Two levels of multipart, a message/rfc822 part holding a multipart message (so "1.2.HEADER" and
// "1.2.1.2" name something), base64 data for BINARY, and a part whose encoding nobody knows.
std::string MultipartMessage() {
    return "From: Ann Example <ann@example.org>\r\n"
           "To: john@example.com, Friends: carl@example.net, \"D. Dee\" <dee@example.net>;\r\n"
           "Cc: <@route.example:eve@example.org>\r\n"
           "Subject: =?utf-8?q?caf=C3=A9?= report\r\n"
           "Date: Mon, 2 Mar 2026 10:00:00 +0100\r\n"
           "Message-ID: <m1@example.org>\r\nX-Tag: alpha\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
           "This is a preamble.\r\n"
           "--outer\r\nContent-Type: multipart/mixed; boundary=\"inner\"\r\n\r\n"
           "--inner\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
           "Hello caf=C3=A9 world=\r\nsecond line\r\n"
           "--inner\r\nContent-Type: message/rfc822\r\nContent-Disposition: inline\r\n\r\n"
           "From: Bob <bob@example.net>\r\nSubject: forwarded\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/alternative; boundary=\"deep\"\r\n\r\n"
           "--deep\r\nContent-Type: text/plain; charset=iso-8859-1\r\n\r\ndeep \xe9t\xe9\r\n"
           "--deep\r\nContent-Type: text/html\r\n\r\n<p>deep two</p>\r\n"
           "--deep--\r\n"
           "--inner--\r\n"
           "--outer\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\n"
           "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"data.bin\"\r\n\r\n"
           "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=\r\n"
           "--outer\r\nContent-Type: application/x-thing\r\nContent-Transfer-Encoding: x-unknown\r\n\r\nfoo data\r\n"
           "--outer--\r\nepilogue\r\n";
}

// A folded header, lines that start with a dot, a bare LF and a line longer than a buffer.
std::string PlainMessage() {
    return "From: sender@example.org\r\nTo: john@example.com\r\nSubject: plain\r\n\tfolded\r\n"
           "Date: Tue, 3 Mar 2026 11:00:00 +0000\r\n\r\n"
           "Hello John,\r\n.\r\n..two dots\r\nbare\nline feed\r\n" +
           std::string(5000, 'x') + "\r\nbye\r\n";
}

// A header without a body, and without a line end at the very end.
std::string CutShortMessage() { return "From: sender@example.org\r\nSubject: cut"; }

struct SeededFolder {
    // The folder, made when it is missing.
    std::function<std::shared_ptr<store::Folder>()> open;
    std::vector<Seed> messages;
    std::string acl;  // "" for none
    std::shared_ptr<store::Folder> folder;
    double stamp = 0;
};

double Stamp(const store::Folder& folder) {
    ElementInfo info;
    return Succeeded(folder.Storage().StatSelf(info)) ? info.modified : -1;
}

void AddMessage(store::Folder& folder, const Seed& seed) {
    auto envelope = folder.GetEnvelopes()->Add();
    envelope->SetSender("sender@example.org");
    envelope->GetRecipients().Add(std::string(fuzz::kUser) + "@" + std::string(fuzz::kDomain));
    if (seed.flags != 0) envelope->GetProperties().SetItem(kFlagsKey, Variant::UI2(seed.flags));
    {
        auto stream = envelope->StreamOnContent(true, STGM_WRITE | STGM_SHARE_EXCLUSIVE);
        ThrowIfFailed(stream->Write(seed.content));
    }
    envelope->Update();
}

// The folder as it was seeded: its messages again, no folders below it, its rights.
void Rebuild(SeededFolder& seeded) {
    seeded.folder = seeded.open();
    const auto children = seeded.folder->GetFolders();
    for (const std::string& name : children->Names()) children->Remove(name);
    const auto envelopes = seeded.folder->GetEnvelopes();
    for (const double uid : envelopes->Uids()) envelopes->RemoveEnvelope(uid);
    for (const Seed& seed : seeded.messages) AddMessage(*seeded.folder, seed);
    if (!seeded.acl.empty()) {
        seeded.folder->GetProperties().SetItem(kAclDefaultKey, Variant::Text(seeded.acl));
        seeded.folder->Update();
    }
    seeded.stamp = Stamp(*seeded.folder);
}

// Removes the folders of a collection that are not among `kept`; true when there were any.
bool RemoveOthers(const store::Folders& folders, const std::set<std::string>& kept) {
    bool removed = false;
    for (const std::string& name : folders.Names()) {
        if (kept.contains(name)) continue;
        folders.Remove(name);
        removed = true;
    }
    return removed;
}

std::shared_ptr<store::Folder> OpenOrAdd(const std::shared_ptr<store::Folders>& folders, std::string_view name) {
    if (auto found = folders->Item(name)) return found;
    return folders->Add(name, store::NormalFolderType);
}

class Mailbox {
public:
    Mailbox() {
        const auto& shared = fuzz::SharedSessionStore();
        store_ = shared.store;
        mailbox_ = store_->FindMailBox(std::string(fuzz::kUser) + "@" + std::string(fuzz::kDomain));
        working_ = shared.root + "/IMAP/";
        std::filesystem::create_directories(working_ + mailbox_->Address());
        const auto mailbox = mailbox_;
        const auto root = store_;
        folders_ = {
            {[mailbox] { return mailbox->InFolder(); },
             {{MultipartMessage(), 0}, {PlainMessage(), imap::kFlagSeen | imap::kFlagFlagged}, {CutShortMessage(), imap::kFlagAnswered}}},
            {[mailbox] { return OpenOrAdd(mailbox->GetFolders(), "Archive"); }, {{PlainMessage(), imap::kFlagSeen}}},
            {[root] { return OpenOrAdd(root->GetFolders(), "Team"); }, {{MultipartMessage(), 0}}, "lrswipcda"},
            {[root] { return OpenOrAdd(root->GetFolders(), "Notices"); }, {{PlainMessage(), 0}}, "lr"},
        };
        for (SeededFolder& seeded : folders_) Rebuild(seeded);
        userFolders_ = Names(*mailbox_->GetFolders());
        publicFolders_ = Names(*store_->GetFolders());
    }

    const std::string& WorkingDirectory() const { return working_; }

    // Puts back what the last input changed.
    void Restore() {
        RemoveOthers(*mailbox_->GetFolders(), userFolders_);
        RemoveOthers(*store_->GetFolders(), publicFolders_);
        for (SeededFolder& seeded : folders_) {
            if (Stamp(*seeded.folder) != seeded.stamp) Rebuild(seeded);
        }
        std::ofstream(working_ + mailbox_->Address() + "/SUBSCRIBE", std::ios::binary | std::ios::trunc) << "Archive\r\nPublic Folders/Team\r\n";
    }

    // No seeded folder holds a temporary file, or a message's content without its record or the
    // reverse: an APPEND the session did not publish must have taken its staged content with it.
    bool HoldsOnlyMessages() const {
        for (const SeededFolder& seeded : folders_) {
            std::set<std::string> records;
            std::set<std::string> contents;
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(seeded.folder->Storage().Path(), error)) {
                const std::string name = entry.path().filename().string();
                if (IsTemporaryName(name)) return false;
                if (name.ends_with(".env")) records.insert(name.substr(0, name.size() - 4));
                if (name.ends_with(".eml")) contents.insert(name.substr(0, name.size() - 4));
            }
            if (records != contents) return false;
        }
        return true;
    }

private:
    static std::set<std::string> Names(const store::Folders& folders) {
        const auto names = folders.Names();
        return {names.begin(), names.end()};
    }

    std::shared_ptr<store::MessageStore> store_;
    std::shared_ptr<store::MailBox> mailbox_;
    std::string working_;
    std::vector<SeededFolder> folders_;
    std::set<std::string> userFolders_;
    std::set<std::string> publicFolders_;
};

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// How often a word stands in the input, in any case and anywhere (a command name is never a literal).
std::size_t Mentions(std::string_view input, std::string_view word) {
    std::size_t count = 0;
    for (std::size_t at = 0; at + word.size() <= input.size(); ++at) count += EqualsNoCase(input.substr(at, word.size()), word) ? 1 : 0;
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (Mentions(input, "COPY") > kMaxCopies) return -1;

    static Mailbox mailbox;
    static const auto listener = [] {
        auto made = std::make_shared<net::ServerListener>(core::IMAPServerType, 143);
        made->timeout = fuzz::kSessionTimeoutSeconds;
        return made;
    }();
    static const imap::ImapSettings settings{std::chrono::seconds(fuzz::kSessionTimeoutSeconds), mailbox.WorkingDirectory()};
    mailbox.Restore();

    const std::string replies = fuzz::Converse({data, size}, listener, [](std::shared_ptr<net::ConnectionTicket> ticket) {
        imap::ImapSession(std::move(ticket), settings).Run();
    });
    if (!replies.starts_with(kGreeting)) __builtin_trap();
    // An APPENDed message may hold any text, and FETCH sends it back.
    if (replies.find(kFallbackReply) != std::string::npos && !Mentions(input, "APPEND")) __builtin_trap();
    if (!mailbox.HoldsOnlyMessages()) __builtin_trap();

    static const std::size_t descriptors = OpenDescriptors();
    if (OpenDescriptors() > descriptors + kDescriptorSlack) __builtin_trap();
    return 0;
}
