// SessionFuzzSupport: what the SMTP, POP3 and IMAP session targets share -- one message store per process
// and a conversation that hands the fuzz input to a session as a client would send it.
//
// The store lives in a temporary directory made at the first call and removed at exit: the domain
// "example.com" with the user mailbox "john" (password "secret") and two messages in his inbox. The
// session runs on one end of a local socket pair; the input goes in at the other end, followed by the
// end of the stream, which ends the session at its next read, while its replies are collected.
// Nothing leaves the machine: the resolver is pointed at the loopback address and no block list is
// configured, so the session has nothing to look up.
// Thread safety: one conversation at a time (libFuzzer runs one input at a time).
#pragma once

#include "net/Listener.h"
#include "store/MessageStore.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace pw::fuzz {

inline constexpr std::string_view kDomain = "example.com";
inline constexpr std::string_view kUser = "john";
inline constexpr std::string_view kPassword = "secret";
// The session's own bound on a read or a send; the conversation never makes it wait that long.
inline constexpr int kSessionTimeoutSeconds = 5;

struct SessionStore {
    std::string root;
    std::shared_ptr<store::MessageStore> store;
};

// The store, the server configuration and the process logging, made at the first call.
const SessionStore& SharedSessionStore();

// Publishes a message with this content in a folder.
void AddMessage(store::Folder& folder, std::string_view content);

// Runs `session` on a connection whose client sends `input` and then closes its side; returns what
// the session sent, once it has ended.
std::string Converse(std::span<const std::uint8_t> input, const std::shared_ptr<net::ServerListener>& listener,
              const std::function<void(std::shared_ptr<net::ConnectionTicket>)>& session);

}  // namespace pw::fuzz
