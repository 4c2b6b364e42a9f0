// DkimSigner: the DKIM signature (RFC 6376) of a message that leaves this server, made just before
// it goes, over the bytes that go -- after every local change (a subject prefix, a list footer, the
// 7-bit re-encoding), so nothing that changes it afterwards is ours.
//
// The signing domain is the author's (the From field's) when it is a local domain with a key
// (DkimKey.h), which is what DMARC aligns with; else the envelope sender's local domain with a key;
// else the message goes unsigned. Mail that came in from outside (it carries our intake's
// Authentication-Results field) is never signed by a domain aligned with its author's: passed on by
// a forward, a forged local From (or sender) would otherwise leave with our valid signature. rsa-sha256, relaxed/relaxed, the whole body; a domain with an
// Ed25519 key too gets a second signature, ed25519-sha256 (RFC 8463), for verifiers that know it.
// Thread safety: one call per thread; the library handle is shared (DkimLibrary.h).
#pragma once

#include "mailauth/DkimKey.h"
#include "platform/Stream.h"
#include "store/MessageStore.h"

#include <string>
#include <string_view>

namespace pw::mailauth {

// The "DKIM-Signature:" field, CR LF ended, to put in front of the content; empty when the message
// is not ours to sign or signing failed (logged). The content is read and rewound to its start.
std::string DkimSignatureFor(const store::MessageStore& messageStore, Stream& content, std::string_view envelopeSender);

// The signature of a message with a given key: the field or empty (logged). For the signer above
// and for tests.
std::string SignMessage(std::string_view pem, std::string_view selector, std::string_view domain, Stream& content,
                        KeyKind kind = KeyKind::Rsa);

}  // namespace pw::mailauth
