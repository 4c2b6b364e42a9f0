// The IMAP commands' handlers, one function each, named in the command table (ImapCommandTable.cpp)
// with the states each may run in and the arguments it takes. A handler runs only after the table's
// checks passed; it answers through the context's replies (SetReply, No, Bad) and may use only what
// the context gives it.
//
// Where each lives: the commands of every state in ImapSessionCommands.cpp, login in ImapAuth.cpp,
// IDLE in ImapIdle.cpp, SELECT and its kin and SUBSCRIBE in ImapMailboxCommands.cpp, the commands on
// folders in ImapFolderCommands.cpp, APPEND in ImapAppend.cpp, STORE, EXPUNGE, COPY and MOVE in
// ImapMessageCommands.cpp, FETCH in ImapFetch.cpp, SEARCH in ImapSearch.cpp, SORT and THREAD in
// ImapSort.cpp and the QUOTA commands in ImapQuota.cpp.
#pragma once

#include "imap/ImapContext.h"

namespace pw::imap::commands {

// Any state.
void Capability(CommandContext& context);
void Noop(CommandContext& context);
void Logout(CommandContext& context);
void Id(CommandContext& context);
void XTid(CommandContext& context);
void XDebug(CommandContext& context);
void Progress(CommandContext& context);
void Close(CommandContext& context);
// Not authenticated.
void StartTls(CommandContext& context);
void Login(CommandContext& context);
void Authenticate(CommandContext& context);
// Authenticated or selected.
void Select(CommandContext& context);
void Examine(CommandContext& context);
void Create(CommandContext& context);
void Delete(CommandContext& context);
void Rename(CommandContext& context);
void Subscribe(CommandContext& context);
void Unsubscribe(CommandContext& context);
void List(CommandContext& context);
void Lsub(CommandContext& context);
void Status(CommandContext& context);
void Append(CommandContext& context);
void Idle(CommandContext& context);
void Namespace(CommandContext& context);
void Enable(CommandContext& context);
void Compress(CommandContext& context);
void GetQuota(CommandContext& context);
void GetQuotaRoot(CommandContext& context);
void SetQuota(CommandContext& context);
// Selected.
void Check(CommandContext& context);
void Unselect(CommandContext& context);
void Expunge(CommandContext& context);
void Search(CommandContext& context);
void Sort(CommandContext& context);
void Thread(CommandContext& context);
void Fetch(CommandContext& context);
void Store(CommandContext& context);
void Copy(CommandContext& context);
void Move(CommandContext& context);

}  // namespace pw::imap::commands
