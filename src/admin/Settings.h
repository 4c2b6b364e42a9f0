// Settings: the administration object over the running server's configuration ("Pellworth.Settings").
//
// Reads and changes the process's ConfigTree by key, keeping each value's VARTYPE; every change (Set,
// Remove, the Item put, SetXML) is saved to "pellworth.cfg" before the call returns, so a client that
// dies never leaves a change only in memory. The SpamAssassin settings that live in its local.cf
// ("sys:spam:sa:required_score" and the others of SpamAssassinConfig) are read and written there.
// SetXML checks the whole document before it changes anything; a document with a DTD is refused.
// XML form: <settings><item key="sys:routers" vt="3">4</item>...</settings>; a null text carries
// null="1", an object (vt 9) its persisted bytes in hexadecimal.
// Thread safety: the tree's own lock; any thread.
#pragma once

#include "admin/TreePositions.h"
#include "core/ConfigTree.h"
#include "platform/ClassRegistry.h"
#include "platform/DirStorage.h"
#include "platform/Unknown.h"
#include "platform/Variant.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pw::admin {

class Settings : public Unknown, public std::enable_shared_from_this<Settings> {
public:
    Settings(core::ConfigTree& tree, DirStorage root, std::string spamAssassinDirectory);

    // S_FALSE (and VT_EMPTY) for a missing key.
    HRESULT Get(std::string_view key, Variant& value) const;
    // Throws ComError: E_INVALIDARG for a key without components or a value the file can not hold,
    // the save's failure otherwise (the change then stands in memory and is saved by the next save).
    void Set(std::string_view key, const Variant& value);
    // S_FALSE when there was no such key.
    HRESULT Remove(std::string_view key);
    long ChildCount(std::string_view key) const;
    // The node at `key` and its descendants down to `levels` below it (all for a negative number).
    std::string GetXML(std::string_view key, long levels) const;
    // With mayNameFiles false, a document that changes a setting that NamesAFile is refused whole.
    void SetXML(std::string_view xml, bool mayNameFiles = true);
    // Writes the running tree to "pellworth.cfg" (throws ComError, see Set).
    void Save();
    core::ConfigTree& Tree() { return tree_; }
    // The numbers of GetFirstChildPosition and GetNextChild.
    TreePositions& Positions() { return positions_; }

private:
    core::ConfigTree& tree_;
    DirStorage root_;
    std::string spamAssassinDirectory_;
    TreePositions positions_;
};

// Does the setting name a file, a directory or a program the server opens, writes or runs
// ("sys:backup:path", "sys:av:commandline", "sys:ssl:keypath", SpamAssassin's whole local.cf, ...)?
// Only root and the server's own user may change those through the endpoint, as only they may reach
// files by any other member.
bool NamesAFile(std::string_view key);

// The member tables of Settings, of the process's Logging object and of the store's classes.
void RegisterModelMembers();
void RegisterStoreMembers();
// The spam filters' classes ("Pellworth.PhraseFilter", ...) over the store root, with their tables.
void RegisterFilterClasses(const DirStorage& root);
// Those classes' identifiers and ProgIDs without a factory: what the registration records.
std::vector<ClassInfo> FilterClassInfos();
// "Pellworth.AddressMap", an address map in a client's handle (AddressMap.cpp), with its table.
void RegisterAddressMapClass();
ClassInfo AddressMapClassInfo();

}  // namespace pw::admin
