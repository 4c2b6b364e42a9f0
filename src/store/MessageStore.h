// MessageStore: the root of the store -- the delivery queue "_In", the outbound folder "_Out", the
// domains and the public folders -- and the way from an address or a namespace to its object.
//
// OpenOrCreate is what the server's start-up calls: it makes the root, its property file, "_In",
// "_Out" and the public system folders "Bayesian Learn", "Bayesian Learn/Spam" and "Bayesian
// Learn/Good" (with their rights entries) where any of them is missing, so a new store works at once
// and a damaged one gets its well-known folders back. RemoveAbandonedFiles clears what writers that
// died left behind: temporary files of replacements, reserved contents of envelopes that were never
// published, records whose content is gone, and store objects whose creation was cut short. It runs at start-up, before anything writes to the
// store, in time proportional to the number of files.
// Thread safety: one thread at a time per object; objects are created per use.
#pragma once

#include "core/ConfigTree.h"
#include "store/Domain.h"
#include "store/Folder.h"
#include "store/MailBox.h"
#include "store/StoreObject.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pw::store {

inline constexpr std::string_view kBayesianFolder = "Bayesian Learn";
inline constexpr std::string_view kBayesianSpamFolder = "Spam";
inline constexpr std::string_view kBayesianGoodFolder = "Good";
inline constexpr std::string_view kPrimaryDomainKey = "system:primarydomain";
inline constexpr std::string_view kFallbackDomain = "localhost";

class MessageStore : public StoreObject {
public:
    using StoreObject::StoreObject;
    StoreObjectTypeEnum OwnType() const override { return StoreMessageStoreType; }

    // The store at path (throws ComError; STG_E_PATHNOTFOUND when it does not exist).
    static std::shared_ptr<MessageStore> Open(const std::string& path);
    // Opens the store, first making whatever of its root and well-known folders is missing; `made`
    // receives a line for each thing made.
    static std::shared_ptr<MessageStore> OpenOrCreate(const std::string& path, std::vector<std::string>* made = nullptr);

    std::shared_ptr<Folder> InFolder() const;
    std::shared_ptr<Folder> OutFolder() const;
    std::shared_ptr<Domains> GetDomains() const { return std::make_shared<Domains>(Storage(), RootPath()); }
    // The folders of the root: the queue folders and the public folders.
    std::shared_ptr<Folders> GetFolders() const { return std::make_shared<Folders>(Storage(), RootPath()); }

    // nullptr when the domain or the mailbox does not exist. Accepts "local@domain" and "<local@domain>".
    std::shared_ptr<MailBox> FindMailBox(std::string_view address) const;
    std::shared_ptr<Domain> FindDomain(std::string_view name) const;
    // An envelope by its namespace ("example.com/john/_In/0000001"); nullptr when there is none.
    std::shared_ptr<Envelope> FindEnvelope(std::string_view envelopeNamespace) const;
    // A new folder at a path below the root whose parent exists (throws ComError).
    std::shared_ptr<Folder> CreateFolder(std::string_view path, std::int32_t type) const;

    // "system:primarydomain", else the first domain, else "localhost".
    std::string PrimaryDomain(const core::ConfigTree& config) const;
    // "<postmaster@%s>" and "<mail-deamon@%s>" with the primary domain.
    std::string PostmasterAddress(const core::ConfigTree& config) const;
    std::string SystemSender(const core::ConfigTree& config) const;

    // Removes leftovers of writers that died; returns how many files it removed.
    std::size_t RemoveAbandonedFiles() const;
};

// The class record of MessageStore ("Pellworth.MessageStore"): created objects open the store named
// by the registry file.
inline constexpr Guid kMessageStoreClassId{0x3F6A2B41, 0x7C1D, 0x4E58, {0x9A, 0x27, 0x51, 0xC0, 0xE8, 0x3D, 0x6B, 0x94}};
void RegisterStoreClasses(ClassRegistry& registry);

// The store of the running server: the service names it at start-up; sessions and workers open it
// per use (throws ComError STG_E_PATHNOTFOUND before it was named).
void SetServerStorePath(std::string path);
std::shared_ptr<MessageStore> OpenServerStore();

// Splits "local@domain" (the last "@" decides; "<>" and blanks around are dropped). False without "@".
bool SplitAddress(std::string_view address, std::string& local, std::string& domain);

}  // namespace pw::store
