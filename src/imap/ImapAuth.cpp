// LOGIN, AUTHENTICATE PLAIN (with its initial response on the command line, RFC 4959) and CRAM-MD5,
// and the log in that ends each of them.
//
// Every refusal of an account is "NO Account invalid", whatever was wrong, and costs the pause of the
// failed-login table. Neither passwords nor CRAM-MD5 digests reach the log: a digest with its
// challenge is enough to try passwords offline.
#include "imap/ImapCommands.h"

#include <thread>
#include <unistd.h>

#include "imap/ImapLimits.h"
#include "imap/ImapStore.h"
#include "mime/Codecs.h"
#include "net/LoginFailures.h"
#include "net/Sasl.h"
#include "platform/AutomationDate.h"
#include "platform/DirStorage.h"
#include "platform/Text.h"

namespace pw::imap::commands {

namespace {

constexpr std::string_view kAccountInvalid = "Account invalid";
constexpr std::string_view kUnknownHost = "unknown.host.name";

std::string CramMd5Challenge() {
    char host[256] = {};
    std::string name = kUnknownHost.data();
    if (::gethostname(host, sizeof host - 1) == 0 && host[0]) name = host;
    return Format("<%lu.%lu.%lu@%s>", {std::int64_t{::getpid()}, std::int64_t{::gettid()},
                                       std::int64_t{static_cast<std::int64_t>(::time(nullptr))}, std::string_view(name)});
}

// An AUTHENTICATE response line; nullopt after a time-out (answered with `timedOut`) or a closed
// connection.
std::optional<std::string> ReadResponseLine(CommandContext& context, std::size_t capacity, std::string_view timedOut) {
    std::string line;
    bool tooLong = false;
    const auto status = context.replies.Connection().ReadLine(line, capacity, kByteTimeout, tooLong);
    if (status == CommandSource::Status::TimedOut) {
        context.No(std::string(timedOut));
        return std::nullopt;
    }
    if (tooLong) {
        context.Bad("Authentication response too long");
        return std::nullopt;
    }
    if (status != CommandSource::Status::Ok) {
        // The connection ended: no reply can reach anyone.
        context.replies.Silence();
        context.replies.EndSession();
        return std::nullopt;
    }
    if (line == "*") {
        context.Bad("authentication canceled");
        return std::nullopt;
    }
    return line;
}

bool LoginUser(CommandContext& context, const AccountInfo& account, std::string_view method) {
    if (account.disabled) {
        ImapLog('E', "Login to disabled account:  " + account.canonicalName);
        context.No("Account disabled");
        return false;
    }
    const auto inbox = context.store.LogIn(account, context.session.clientIp);
    if (!inbox) {
        context.No(std::string(kAccountInvalid));
        return false;
    }
    if (!account.inboxOverride.empty()) {
        if (account.inboxOverride.find('/') != std::string::npos) {
            ImapLog('E', "Inbox override must be a top-level folder:  " + account.inboxOverride);
            context.No("Inbox override must be a top-level folder");
            return false;
        }
        if (account.inboxOverride.size() > kMaxMailboxNameBytes) {
            context.No("Inbox override name is too long");
            return false;
        }
    }
    // The per-user directory is named for the account as the store spells it, which holds no "/".
    const std::string name = account.canonicalName;
    if (context.session.settings.workingDirectory.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        context.No("Failure creating user's subdirectory!");
        return false;
    }
    const std::string directory = context.session.settings.workingDirectory + name;
    if (const HRESULT hr = DirStorage(directory).CreateSelf(); Failed(hr)) {
        // The code is the system error the storage layer's failure carries, in its low word.
        ImapLog('E', Format("LoginUser:  CreateDirectory(\"%s\") failed with code %lu",
                            {std::string_view(directory), std::int64_t{static_cast<std::uint32_t>(hr) & 0xFFFF}}));
        context.No("Failure creating user's subdirectory!");
        return false;
    }
    context.session.user = name;
    context.session.inbox = account.inboxOverride.empty() ? *inbox : account.inboxOverride;
    context.session.userDirectory = directory + "/";
    context.session.readOnly = account.readOnly;
    context.session.state = SessionState::Authenticated;
    ImapLog('I', Format("User \"%s\" logged in using %s", {std::string_view(context.session.user), method}));
    return true;
}

// Checks the password of a named account, pays the failure pause, and logs in.
bool CheckAndLogIn(CommandContext& context, const std::string& user, const std::optional<std::string>& password,
                   const std::optional<std::string>& cramDigest, const std::string& challenge, std::string_view method) {
    const IpAddress client = context.session.clientIp;
    std::optional<AccountInfo> account;
    if (user.size() <= kMaxUserNameLength) account = context.store.FindAccount(user);
    bool good = account.has_value() && !account->password.empty();
    if (good && password) good = *password == account->password;
    if (good && cramDigest) good = EqualsNoCase(*cramDigest, net::CramMd5Digest(account->password, challenge));
    if (!good) {
        const auto pause = net::LoginFailures::Instance().Failed(client, user);
        ImapLog('W', Format("Failed login (%s) for \"%s\" from %s",
                            {method, std::string_view(user).substr(0, kMaxUserNameLength), std::string_view(context.session.clientAddress)}));
        std::this_thread::sleep_for(pause);
        context.No(std::string(kAccountInvalid));
        return false;
    }
    if (!LoginUser(context, *account, method)) return false;
    net::LoginFailures::Instance().Succeeded(client, user);
    return true;
}

// May a password travel in the clear now? NO [PRIVACYREQUIRED] when not.
bool PlainPasswordAllowed(CommandContext& context) {
    if (context.session.plaintextAuth || context.replies.Connection().IsTls()) return true;
    context.No("[PRIVACYREQUIRED] Passwords are taken only over TLS here: use STARTTLS first");
    return false;
}

void AuthenticatePlain(CommandContext& context) {
    const Command& command = context.command;
    std::optional<std::string> response;
    if (command.arguments.size() > 1) {
        // RFC 4959: the initial response on the command line, "=" standing for an empty one.
        response = command.arguments[1].text == "=" ? std::string() : command.arguments[1].text;
    } else {
        context.replies.Connection().WriteLine("+ ");
        response = ReadResponseLine(context, kMaxPlainResponseLine, "Timed out waiting for PLAIN response");
        if (!response) return;
    }
    if (response->empty()) return context.No("Authentication material missing");
    if (response->size() / 4 * 3 >= kMaxPlainDecoded) return context.No(std::string(kAccountInvalid));
    const auto decoded = mime::DecodeBase64Strict(*response);
    const auto credentials = decoded ? net::ParsePlainResponse(*decoded) : std::nullopt;
    if (!credentials) {
        // Refused before any account is named; it still costs the client a failure.
        return (void)CheckAndLogIn(context, std::string(), std::nullopt, std::nullopt, {}, "AUTH PLAIN");
    }
    if (CheckAndLogIn(context, credentials->user, credentials->password, std::nullopt, {}, "AUTH PLAIN")) {
        context.SetReply("OK PLAIN Authentication successful");
    }
}

void AuthenticateCramMd5(CommandContext& context) {
    const std::string challenge = CramMd5Challenge();
    context.replies.Connection().WriteLine("+ " + mime::EncodeBase64(challenge, false));
    const auto response = ReadResponseLine(context, kMaxCramMd5ResponseLine, "Timed out waiting for CRAM-MD5 response");
    if (!response) return;
    const auto decoded = mime::DecodeBase64Strict(*response);
    const std::size_t space = decoded ? decoded->find(' ') : std::string::npos;
    if (space == std::string::npos || space == 0) {
        ImapLog('E', "CRAM-MD5 response without a user name from " + context.session.clientAddress);
        return context.Bad("Invalid CRAM-MD5 response.  No username found.");
    }
    const std::string user = decoded->substr(0, space);
    if (CheckAndLogIn(context, user, std::nullopt, decoded->substr(space + 1), challenge, "AUTH CRAM-MD5")) {
        context.SetReply("OK CRAM-MD5 Authentication successful");
    }
}

}  // namespace

void Login(CommandContext& context) {
    const Command& command = context.command;
    if (!PlainPasswordAllowed(context)) return;
    if (CheckAndLogIn(context, command.arguments[0].text, command.arguments[1].text, std::nullopt, {}, "LOGIN command")) {
        context.SetReply("OK LOGIN completed");
    }
}

void Authenticate(CommandContext& context) {
    const Command& command = context.command;
    const std::string& mechanism = command.arguments[0].text;
    if (EqualsNoCase(mechanism, "PLAIN")) return PlainPasswordAllowed(context) ? AuthenticatePlain(context) : void();
    if (EqualsNoCase(mechanism, "CRAM-MD5") && (context.session.options & SessionStatus::kOptionCramMd5)) {
        // The server speaks first in CRAM-MD5: an initial response can answer no challenge (RFC 4959).
        if (command.arguments.size() > 1) return context.Bad("CRAM-MD5 takes no initial response");
        return AuthenticateCramMd5(context);
    }
    context.No("Unsupported authentication mechanism");
}

}  // namespace pw::imap::commands
