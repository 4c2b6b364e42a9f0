// Fuzz target: a store object's property file damaged on disk. Opening the object must refuse it or
// read it without crashing; what it reads must answer every accessor; and an update must write back
// exactly what the file held with the update's changes, no more and no less, however odd the file.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzScratch.h"
#include "store/MessageStore.h"

namespace {

using namespace pw;

struct Fixture {
    std::string root;
    DirStorage mailbox;
};

const Fixture& SharedFixture() {
    static const Fixture fixture = [] {
        Fixture made;
        made.root = fuzz::ScratchDirectory() + "/store";
        const auto store = store::MessageStore::OpenOrCreate(made.root);
        const auto mailbox = store->GetDomains()->Add("example.com")->GetMailBoxes()->Add("john", store::UserMailBoxType);
        made.mailbox = mailbox->Storage();
        return made;
    }();
    return fixture;
}

std::vector<std::byte> Serialized(const core::ConfigTree& tree) {
    MemoryStream stream;
    if (Failed(tree.WriteTo(stream))) __builtin_trap();
    return stream.Bytes();
}

// Every accessor a reader of the object may call; the values are of no interest.
void ReadEverything(store::MailBox& mailbox) {
    mailbox.ObjectType();
    mailbox.Comment();
    mailbox.CreateDate();
    mailbox.ClearPassword();
    mailbox.IsPassword("secret");
    const store::Properties& properties = mailbox.GetProperties();
    for (const auto& record : properties.Tree().Records()) {
        properties.Text(record.key);
        properties.Number(record.key);
        properties.GetPosition(record.key);
        auto position = properties.GetFirstChildPosition(record.key);
        std::string key;
        Variant value;
        while (properties.GetNextChild(position, key, value)) {
        }
    }
    try {
        mailbox.InFolder();  // the kind comes from the file
    } catch (const ComError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Fixture& fixture = SharedFixture();
    const std::string file = fixture.mailbox.ElementPath("_john");
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out) __builtin_trap();
    }
    std::shared_ptr<store::MailBox> mailbox;
    try {
        mailbox = store::OpenStoreObject<store::MailBox>(fixture.mailbox, fixture.root);
    } catch (const ComError&) {
        return 0;  // refused whole
    }
    ReadEverything(*mailbox);

    store::Properties& properties = mailbox->GetProperties();
    const auto records = properties.Tree().Records();
    if (!records.empty()) properties.Remove(records[records.size() / 2].key);
    properties.SetItem("fuzz:changed", Variant::Text("changed"));
    properties.SetItem(store::kCommentKey, Variant::I4(7));
    // What the update must write: the file as read, with the same changes made to it.
    core::ConfigTree expected;
    MemoryStream original(std::vector<std::byte>(reinterpret_cast<const std::byte*>(data), reinterpret_cast<const std::byte*>(data) + size));
    if (Failed(expected.ReadFrom(original))) __builtin_trap();  // the object read it
    properties.ApplyChangesTo(expected);

    mailbox->Update();
    if (Serialized(properties.Tree()) != Serialized(expected)) __builtin_trap();
    mailbox->Refresh();
    if (Serialized(properties.Tree()) != Serialized(expected)) __builtin_trap();
    ReadEverything(*mailbox);
    return 0;
}
