// ImapSession: LOGIN, AUTHENTICATE PLAIN and CRAM-MD5, and the log in that ends each of them.
//
// Every refusal of an account is "NO Account invalid", whatever was wrong, and costs the pause of the
// failed-login table. Neither passwords nor CRAM-MD5 digests reach the log: a digest with its
// challenge is enough to try passwords offline.
#include "imap/ImapSession.h"

#include <thread>
#include <unistd.h>

#include "imap/ImapLimits.h"
#include "mime/Codecs.h"
#include "net/LoginFailures.h"
#include "net/Sasl.h"
#include "platform/AutomationDate.h"
#include "platform/DirStorage.h"
#include "platform/Text.h"

namespace pw::imap {

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

}  // namespace

std::optional<std::string> ImapSession::ReadResponseLine(std::size_t capacity, std::string_view timedOut) {
    std::string line;
    bool tooLong = false;
    const auto status = connection_->ReadLine(line, capacity, kByteTimeout, tooLong);
    if (status == CommandSource::Status::TimedOut) {
        No(std::string(timedOut));
        return std::nullopt;
    }
    if (tooLong) {
        Bad("Authentication response too long");
        return std::nullopt;
    }
    if (status != CommandSource::Status::Ok) {
        // The connection ended: no reply can reach anyone.
        noReply_ = true;
        endSession_ = true;
        return std::nullopt;
    }
    if (line == "*") {
        Bad("authentication canceled");
        return std::nullopt;
    }
    return line;
}

bool ImapSession::CheckAndLogIn(const std::string& user, const std::optional<std::string>& password,
                                const std::optional<std::string>& cramDigest, const std::string& challenge,
                                std::string_view method) {
    const std::uint32_t client = ticket_->client.sin_addr.s_addr;
    std::optional<AccountInfo> account;
    if (user.size() <= kMaxUserNameLength) account = store_.FindAccount(user);
    bool good = account.has_value() && !account->password.empty();
    if (good && password) good = *password == account->password;
    if (good && cramDigest) good = EqualsNoCase(*cramDigest, net::CramMd5Digest(account->password, challenge));
    if (!good) {
        const auto pause = net::LoginFailures::Instance().Failed(client, user);
        Log('W', Format("Failed login (%s) for \"%s\" from %s",
                        {method, std::string_view(user).substr(0, kMaxUserNameLength), std::string_view(ticket_->ClientAddress())}));
        std::this_thread::sleep_for(pause);
        No(std::string(kAccountInvalid));
        return false;
    }
    if (!LoginUser(*account, method)) return false;
    net::LoginFailures::Instance().Succeeded(client, user);
    return true;
}

bool ImapSession::PlainPasswordAllowed() {
    if (plaintextAuth_ || connection_->IsTls()) return true;
    No("[PRIVACYREQUIRED] Passwords are taken only over TLS here: use STARTTLS first");
    return false;
}

void ImapSession::Login(const Command& command) {
    if (!PlainPasswordAllowed()) return;
    if (CheckAndLogIn(command.arguments[0].text, command.arguments[1].text, std::nullopt, {}, "LOGIN command")) {
        SetReply("OK LOGIN completed");
    }
}

void ImapSession::Authenticate(const Command& command) {
    const std::string& mechanism = command.arguments[0].text;
    if (EqualsNoCase(mechanism, "PLAIN")) return PlainPasswordAllowed() ? AuthenticatePlain(command) : void();
    if (EqualsNoCase(mechanism, "CRAM-MD5") && (options_ & kOptionCramMd5)) return AuthenticateCramMd5();
    No("Unsupported authentication mechanism");
}

void ImapSession::AuthenticatePlain(const Command& command) {
    std::optional<std::string> response;
    if (command.arguments.size() > 1) {
        response = command.arguments[1].text;
    } else {
        connection_->WriteLine("+ ");
        response = ReadResponseLine(kMaxPlainResponseLine, "Timed out waiting for PLAIN response");
        if (!response) return;
    }
    if (response->empty()) return No("Authentication material missing");
    if (response->size() / 4 * 3 >= kMaxPlainDecoded) return No(std::string(kAccountInvalid));
    const auto decoded = mime::DecodeBase64Strict(*response);
    const auto credentials = decoded ? net::ParsePlainResponse(*decoded) : std::nullopt;
    if (!credentials) {
        // Refused before any account is named; it still costs the client a failure.
        return (void)CheckAndLogIn(std::string(), std::nullopt, std::nullopt, {}, "AUTH PLAIN");
    }
    if (CheckAndLogIn(credentials->user, credentials->password, std::nullopt, {}, "AUTH PLAIN")) {
        SetReply("OK PLAIN Authentication successful");
    }
}

void ImapSession::AuthenticateCramMd5() {
    const std::string challenge = CramMd5Challenge();
    connection_->WriteLine("+ " + mime::EncodeBase64(challenge, false));
    const auto response = ReadResponseLine(kMaxCramMd5ResponseLine, "Timed out waiting for CRAM-MD5 response");
    if (!response) return;
    const auto decoded = mime::DecodeBase64Strict(*response);
    const std::size_t space = decoded ? decoded->find(' ') : std::string::npos;
    if (space == std::string::npos || space == 0) {
        Log('E', "CRAM-MD5 response without a user name from " + ticket_->ClientAddress());
        return Bad("Invalid CRAM-MD5 response.  No username found.");
    }
    const std::string user = decoded->substr(0, space);
    if (CheckAndLogIn(user, std::nullopt, decoded->substr(space + 1), challenge, "AUTH CRAM-MD5")) {
        SetReply("OK CRAM-MD5 Authentication successful");
    }
}

bool ImapSession::LoginUser(const AccountInfo& account, std::string_view method) {
    if (account.disabled) {
        Log('E', "Login to disabled account:  " + account.canonicalName);
        No("Account disabled");
        return false;
    }
    const auto inbox = store_.LogIn(account, ticket_->client.sin_addr.s_addr);
    if (!inbox) {
        No(std::string(kAccountInvalid));
        return false;
    }
    if (!account.inboxOverride.empty()) {
        if (account.inboxOverride.find('/') != std::string::npos) {
            Log('E', "Inbox override must be a top-level folder:  " + account.inboxOverride);
            No("Inbox override must be a top-level folder");
            return false;
        }
        if (account.inboxOverride.size() > kMaxMailboxNameBytes) {
            No("Inbox override name is too long");
            return false;
        }
    }
    // The per-user directory is named for the account as the store spells it, which holds no "/".
    const std::string name = account.canonicalName;
    if (settings_.workingDirectory.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        No("Failure creating user's subdirectory!");
        return false;
    }
    const std::string directory = settings_.workingDirectory + name;
    if (const HRESULT hr = DirStorage(directory).CreateSelf(); Failed(hr)) {
        // The code is the system error the storage layer's failure carries, in its low word.
        Log('E', Format("LoginUser:  CreateDirectory(\"%s\") failed with code %lu",
                        {std::string_view(directory), std::int64_t{static_cast<std::uint32_t>(hr) & 0xFFFF}}));
        No("Failure creating user's subdirectory!");
        return false;
    }
    user_ = name;
    inbox_ = account.inboxOverride.empty() ? *inbox : account.inboxOverride;
    userDirectory_ = directory + "/";
    readOnly_ = account.readOnly;
    state_ = SessionState::Authenticated;
    Log('I', Format("User \"%s\" logged in using %s", {std::string_view(user_), method}));
    return true;
}

}  // namespace pw::imap
