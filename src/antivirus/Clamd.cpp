// Clamd: the INSTREAM and PING commands over a Unix socket or TCP, every wait bounded.
#include "antivirus/Clamd.h"

#include "core/RegistryKeys.h"
#include "platform/UniqueFd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace pw::antivirus {

namespace {

// Longest answer read: a virus name and the frame around it.
constexpr std::size_t kMaxAnswer = 4096;

using Clock = std::chrono::steady_clock;

// Waits until the descriptor is ready for `events` or the deadline passes.
bool Await(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd watch{fd, events, 0};
        const int ready = ::poll(&watch, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

bool ConnectBounded(int fd, const sockaddr* address, socklen_t size, Clock::time_point deadline) {
    if (::connect(fd, address, size) == 0) return true;
    if (errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) return false;
    if (!Await(fd, POLLOUT, deadline)) {
        errno = ETIMEDOUT;
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
    errno = error;
    return error == 0;
}

UniqueFd Connect(const std::string& text, Clock::time_point deadline, std::string& problem) {
    const ClamdAddress address = ClamdAddress::Parse(text);
    if (!address.path.empty()) {
        sockaddr_un un{};
        un.sun_family = AF_UNIX;
        if (address.path.size() >= sizeof un.sun_path) {
            problem = "the socket path " + address.path + " is too long";
            return UniqueFd();
        }
        std::memcpy(un.sun_path, address.path.data(), address.path.size());
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (fd && ConnectBounded(fd.Get(), reinterpret_cast<const sockaddr*>(&un), sizeof un, deadline)) return fd;
        problem = "can not connect to " + address.path + ": " + std::strerror(errno);
        return UniqueFd();
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found); rc != 0) {
        problem = "can not resolve " + text + ": " + ::gai_strerror(rc);
        return UniqueFd();
    }
    problem = "can not connect to " + text;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        UniqueFd fd(::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, entry->ai_protocol));
        if (fd && ConnectBounded(fd.Get(), entry->ai_addr, entry->ai_addrlen, deadline)) {
            ::freeaddrinfo(found);
            return fd;
        }
        problem = "can not connect to " + text + ": " + std::strerror(errno);
    }
    ::freeaddrinfo(found);
    return UniqueFd();
}

bool SendAll(int fd, const void* data, std::size_t size, Clock::time_point deadline) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent > 0) {
            bytes += sent;
            size -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Await(fd, POLLOUT, deadline)) continue;
        return false;
    }
    return true;
}

// The answer up to its zero byte (or the end of the connection); false on a time-out or error.
bool ReadAnswer(int fd, Clock::time_point deadline, std::string& answer) {
    char buffer[512];
    while (answer.size() < kMaxAnswer) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0) {
            answer.append(buffer, static_cast<std::size_t>(got));
            if (const std::size_t zero = answer.find('\0'); zero != std::string::npos) {
                answer.resize(zero);
                return true;
            }
            continue;
        }
        if (got == 0) return !answer.empty();
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && Await(fd, POLLIN, deadline)) continue;
        return false;
    }
    return true;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

}  // namespace

std::string ClamdAddressFromRegistry(const Registry& registry) {
    const auto value = registry.GetString(core::ProductKey(core::kServerProduct, "AntiVirus"), "Clamd");
    return value && !value->empty() ? *value : std::string(kDefaultClamdAddress);
}

ClamdAddress ClamdAddress::Parse(std::string_view text) {
    ClamdAddress address;
    const std::size_t colon = text.rfind(':');
    if (text.find('/') != std::string_view::npos || colon == std::string_view::npos) {
        address.path = std::string(text);
        return address;
    }
    address.host = std::string(text.substr(0, colon));
    address.port = std::string(text.substr(colon + 1));
    // "[::1]:3310"
    if (address.host.size() >= 2 && address.host.front() == '[' && address.host.back() == ']') {
        address.host = address.host.substr(1, address.host.size() - 2);
    }
    return address;
}

ScanResult ClamdScan(const std::string& address, Stream& content, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string problem;
    const UniqueFd fd = Connect(address, deadline, problem);
    if (!fd) return {Verdict::Failed, problem};
    static constexpr char kCommand[] = "zINSTREAM";  // sent with its terminating zero
    if (!SendAll(fd.Get(), kCommand, sizeof kCommand, deadline)) return {Verdict::Failed, "clamd at " + address + " took no command"};
    std::vector<std::byte> chunk(kClamdChunkSize);
    bool sent = true;
    for (;;) {
        std::size_t got = 0;
        // The end of the content is a failure code of its own, not an error.
        if (const HRESULT hr = content.Read(std::span(chunk), got); hr == STG_E_ENDOFFILE) {
            got = 0;
        } else if (Failed(hr)) {
            return {Verdict::Failed, "the message can not be read: " + HresultText(hr)};
        }
        const std::uint32_t length = htonl(static_cast<std::uint32_t>(got));
        // clamd may stop reading (a stream over its limit) and answer at once: its answer says why.
        if (!SendAll(fd.Get(), &length, sizeof length, deadline) || (got > 0 && !SendAll(fd.Get(), chunk.data(), got, deadline))) {
            sent = false;
            break;
        }
        if (got == 0) break;
    }
    std::string answer;
    if (!ReadAnswer(fd.Get(), deadline, answer)) {
        return {Verdict::Failed, sent ? "clamd at " + address + " did not answer in time" : "clamd at " + address + " stopped reading the message"};
    }
    answer = Trimmed(answer);
    constexpr std::string_view kStream = "stream: ";
    constexpr std::string_view kFound = " FOUND";
    if (answer == "stream: OK") return {Verdict::Clean, {}};
    // Over its StreamMaxLength: the same message gets the same answer however often it is sent.
    if (answer.find("size limit exceeded") != std::string::npos) {
        return {Verdict::TooLarge, "clamd at " + address + " takes no message this large (\"" + answer + "\")"};
    }
    if (answer.starts_with(kStream) && answer.ends_with(kFound) && answer.size() > kStream.size() + kFound.size()) {
        return {Verdict::Infected, answer.substr(kStream.size(), answer.size() - kStream.size() - kFound.size())};
    }
    return {Verdict::Failed, "clamd at " + address + " answered \"" + answer + "\""};
}

namespace {

// One short command and its one-line answer; true when the answer is `expected`.
bool ClamdCommand(const std::string& address, std::string_view command, std::string_view expected,
                  std::chrono::milliseconds timeout, std::string& problem) {
    const auto deadline = Clock::now() + timeout;
    const UniqueFd fd = Connect(address, deadline, problem);
    if (!fd) return false;
    const std::string line = std::string(command) + '\0';
    std::string answer;
    if (!SendAll(fd.Get(), line.data(), line.size(), deadline) || !ReadAnswer(fd.Get(), deadline, answer)) {
        problem = "clamd at " + address + " did not answer";
        return false;
    }
    if (Trimmed(answer) == expected) return true;
    problem = "clamd at " + address + " answered \"" + Trimmed(answer) + "\"";
    return false;
}

}  // namespace

bool ClamdPing(const std::string& address, std::chrono::milliseconds timeout, std::string& problem) {
    return ClamdCommand(address, "zPING", "PONG", timeout, problem);
}

bool ClamdReload(const std::string& address, std::chrono::milliseconds timeout, std::string& problem) {
    return ClamdCommand(address, "zRELOAD", "RELOADING", timeout, problem);
}

}  // namespace pw::antivirus
