// pop3-fetch: downloads every message of a POP3 mailbox as a mail client does (USER/PASS, STAT, then
// RETR of each message in turn, and DELE after each with --delete, QUIT) and prints
// "<messages> <bytes> <seconds>". Written in C++ so that the client costs little next to the server
// being measured; it keeps nothing it downloads.
//   pop3-fetch HOST PORT USER PASSWORD [--delete]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

class Pop3Client {
public:
    Pop3Client(const char* host, int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        if (fd_ < 0 || inet_pton(AF_INET, host, &address.sin_addr) != 1 ||
            connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Pop3Client() { close(fd_); }

    // Sends a command and returns its status line, which must be "+OK".
    std::string Command(const std::string& command) {
        std::string line = command + "\r\n";
        if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
            throw std::runtime_error("send failed");
        return StatusLine(command);
    }

    std::string StatusLine(const std::string& what) {
        std::string line = Until("\r\n");
        if (line.compare(0, 3, "+OK") != 0) throw std::runtime_error(what + ": " + line);
        return line;
    }

    // The rest of a multi-line answer, up to and including the terminating "." line. The status
    // line's CR LF is put back so that an empty body ends at the same marker as any other.
    std::size_t MultiLine() {
        buffer_.insert(0, "\r\n");
        return Until("\r\n.\r\n").size();
    }

private:
    bool Fill() {
        char block[65536];
        ssize_t got = recv(fd_, block, sizeof block, 0);
        if (got <= 0) throw std::runtime_error("connection closed");
        buffer_.append(block, static_cast<std::size_t>(got));
        return true;
    }

    std::string Until(const char* marker) {
        std::size_t length = std::strlen(marker);
        std::size_t from = 0;
        for (;;) {
            std::size_t at = buffer_.find(marker, from);
            if (at != std::string::npos) {
                std::string head = buffer_.substr(0, at);
                buffer_.erase(0, at + length);
                return head;
            }
            from = buffer_.size() >= length ? buffer_.size() - length + 1 : 0;
            Fill();
        }
    }

    int fd_ = -1;
    std::string buffer_;
};

}  // namespace

int main(int argc, char** argv) {
    const bool remove = argc == 6 && std::strcmp(argv[5], "--delete") == 0;
    if (argc != 5 && !remove) {
        std::fprintf(stderr, "usage: pop3-fetch HOST PORT USER PASSWORD [--delete]\n");
        return 2;
    }
    try {
        auto start = std::chrono::steady_clock::now();
        unsigned long total = 0;
        std::size_t bytes = 0;
        // With --delete every message is deleted after it is retrieved, and sessions follow each other
        // until one finds the mailbox empty: a server may show a large mailbox a part at a time.
        for (;;) {
            Pop3Client client(argv[1], std::atoi(argv[2]));
            client.StatusLine("greeting");
            client.Command(std::string("USER ") + argv[3]);
            client.Command(std::string("PASS ") + argv[4]);
            std::string stat = client.Command("STAT");
            unsigned long messages = std::strtoul(stat.c_str() + 4, nullptr, 10);
            for (unsigned long i = 1; i <= messages; ++i) {
                client.Command("RETR " + std::to_string(i));
                bytes += client.MultiLine();
                if (remove) client.Command("DELE " + std::to_string(i));
            }
            client.Command("QUIT");
            total += messages;
            if (!remove || messages == 0) break;
        }
        std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        std::printf("%lu %zu %.6f\n", total, bytes, elapsed.count());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pop3-fetch: %s\n", error.what());
        return 1;
    }
}
