// SessionConversation: a protocol session of the server on one end of a local socket pair, driven
// line by line from the other end, as a client would -- for the SMTP and POP3 session tests.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "net/Listener.h"

namespace pw::test {

class SessionConversation {
public:
    // Runs `session` on its own thread; the client is 127.0.0.2 unless said otherwise.
    SessionConversation(std::shared_ptr<net::ServerListener> listener,
                        std::function<void(std::shared_ptr<net::ConnectionTicket>)> session,
                        std::uint32_t client = INADDR_LOOPBACK + 1) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) throw std::runtime_error("socketpair");
        auto ticket = std::make_shared<net::ConnectionTicket>();
        ticket->listener = std::move(listener);
        ticket->socket.Reset(ends[0]);
        ticket->client = IpAddress::FromHostOrder(client);
        ticket->OpenConnection();
        socket_ = ends[1];
        // The session's end closes when the ticket goes: the client then reads the end of the stream.
        thread_ = std::thread([ticket = std::move(ticket), session = std::move(session)]() mutable { session(std::move(ticket)); });
    }
    ~SessionConversation() {
        ::shutdown(socket_, SHUT_RDWR);
        thread_.join();
        ::close(socket_);
    }
    SessionConversation(const SessionConversation&) = delete;
    SessionConversation& operator=(const SessionConversation&) = delete;

    void Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("send");
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // One line with its CR LF; "" at the end of the stream.
    std::string Line() {
        for (;;) {
            if (const auto end = buffer_.find("\r\n"); end != std::string::npos) {
                std::string line = buffer_.substr(0, end + 2);
                buffer_.erase(0, end + 2);
                return line;
            }
            pollfd ready{socket_, POLLIN, 0};
            if (::poll(&ready, 1, kWaitMilliseconds) <= 0) throw std::runtime_error("no reply from the session");
            char chunk[4096];
            const ssize_t n = ::recv(socket_, chunk, sizeof chunk, 0);
            if (n <= 0) return std::exchange(buffer_, std::string());
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // An SMTP reply: its lines up to the one whose code is followed by a blank.
    std::string SmtpReply() {
        std::string reply;
        for (std::string line = Line(); !line.empty(); line = Line()) {
            reply += line;
            if (line.size() < 4 || line[3] != '-') break;
        }
        return reply;
    }

    // A POP3 multi-line reply as it travels, up to and with its "." line.
    std::string Pop3MultiLine() {
        std::string reply;
        for (std::string line = Line(); !line.empty(); line = Line()) {
            reply += line;
            if (line == ".\r\n") break;
        }
        return reply;
    }

    // Sends a command line and reads its one-line (POP3) or whole (SMTP) reply.
    std::string Command(std::string_view line, bool smtp) {
        Send(std::string(line) + "\r\n");
        return smtp ? SmtpReply() : Line();
    }

private:
    // Bounds every wait for the session; no dialogue comes near it.
    static constexpr int kWaitMilliseconds = 20000;

    int socket_ = -1;
    std::string buffer_;
    std::thread thread_;
};

}  // namespace pw::test
