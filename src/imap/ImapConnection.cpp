// ImapConnection: buffering, bounded waits and failure texts over the shared connection layer.
#include "imap/ImapConnection.h"

#include "platform/Text.h"

namespace pw::imap {

namespace {

int Seconds(std::chrono::seconds wait) { return static_cast<int>(std::max<std::chrono::seconds::rep>(wait.count(), 1)); }

}  // namespace

std::string SocketErrorText(std::string_view operation, std::int32_t code, std::uint16_t localPort) {
    std::string description;
    switch (code) {
    case net::wsa::kInterrupted: description = "Connection attempt cancelled."; break;
    case net::wsa::kAddressInUse: description = Format("Port %u in use.", {std::uint64_t{localPort}}); break;
    case net::wsa::kAddressNotAvailable: description = "Host not available."; break;
    case net::wsa::kNetworkUnreachable: description = "Network unreachable."; break;
    case net::wsa::kConnectionAborted: description = "Connection aborted"; break;
    case net::wsa::kConnectionReset: description = "Connection reset"; break;
    case net::wsa::kNotConnected: description = "Not connected."; break;
    case net::wsa::kTimedOut: description = "Connection timed out."; break;
    case net::wsa::kConnectionRefused: description = "Connection refused."; break;
    case net::wsa::kHostUnreachable: description = "Host unreachable."; break;
    default: description = Format("Socket error %d", {std::int64_t{code}}); break;
    }
    return "Socket Error reported by " + std::string(operation) + ":  " + description;
}

ImapConnection::ImapConnection(net::SocketConnection& connection) : connection_(connection) {}

CommandSource::Status ImapConnection::Fail(Status status, std::string text) {
    if (alive_) {
        alive_ = false;
        failure_ = status;
        errorText_ = std::move(text);
    }
    return status;
}

CommandSource::Status ImapConnection::Refill(std::chrono::seconds wait) {
    if (!alive_ || readEnded_) return Status::Closed;
    if (const Status flushed = Flush(); flushed != Status::Ok) return flushed;
    if (send_.capacity() > kIdleSendCapacity) std::string().swap(send_);
    try {
        connection_.SetTimeout(Seconds(wait));
        const std::size_t got = connection_.Receive(receive_, sizeof receive_, false);
        if (got == 0) {
            // Only the reading has ended: a stop shuts the read side, and the session says goodbye.
            readEnded_ = true;
            errorText_ = "Connection gracefully closed";
            return Status::Closed;
        }
        receiveAt_ = 0;
        receiveEnd_ = got;
        return Status::Ok;
    } catch (const net::CnwSocketErr& error) {
        // A wait that ran out is the caller's to judge; the connection itself is still sound.
        if (error.Code() == net::wsa::kTimedOut) return Status::TimedOut;
        if (error.Code() == net::wsa::kConnectionAborted) return Fail(Status::Closed, "Connection gracefully closed");
        return Fail(Status::Error, error.Message().find(" : ") != std::string::npos
                                       ? error.Message()
                                       : SocketErrorText("recv", error.Code()));
    }
}

ImapConnection::Wakeup ImapConnection::WaitForInputOr(int other, std::chrono::milliseconds wait) {
    if (receiveAt_ < receiveEnd_ || readEnded_) return Wakeup::Input;
    if (Flush() != Status::Ok) return Wakeup::Failed;
    if (send_.capacity() > kIdleSendCapacity) std::string().swap(send_);
    try {
        const int ready = connection_.WaitForInputOr(other, static_cast<int>(wait.count()));
        return ready == net::SocketConnection::kInput ? Wakeup::Input : ready == net::SocketConnection::kOther ? Wakeup::Other : Wakeup::TimedOut;
    } catch (const net::CnwSocketErr& error) {
        Fail(Status::Error, SocketErrorText("poll", error.Code()));
        return Wakeup::Failed;
    }
}

CommandSource::Status ImapConnection::ReadByte(char& byte, std::chrono::seconds wait) {
    if (receiveAt_ == receiveEnd_) {
        if (const Status status = Refill(wait); status != Status::Ok) return status;
    }
    byte = receive_[receiveAt_++];
    return Status::Ok;
}

CommandSource::Status ImapConnection::ReadLine(std::string& line, std::size_t capacity, std::chrono::seconds wait,
                                               bool& tooLong) {
    line.clear();
    tooLong = false;
    bool afterCr = false;
    for (;;) {
        char c = 0;
        if (const Status status = ReadByte(c, wait); status != Status::Ok) return status;
        if (afterCr && c == '\n') break;
        if (afterCr) {
            if (line.size() < capacity) line += '\r';
            else tooLong = true;
        }
        afterCr = c == '\r';
        if (afterCr) continue;
        if (line.size() < capacity) line += c;
        else tooLong = true;
    }
    return tooLong ? Status::Error : Status::Ok;
}

void ImapConnection::Write(std::string_view bytes) {
    if (!alive_) return;
    if (capture_ && captureLimit_ > capture_->size()) capture_->append(bytes.substr(0, captureLimit_ - capture_->size()));
    if (send_.size() + bytes.size() > kSendBufferSize) {
        if (Flush() != Status::Ok) return;
        if (bytes.size() >= kSendBufferSize) {
            SendNow(bytes);
            return;
        }
    }
    send_.append(bytes);
}

void ImapConnection::WriteLine(std::string_view text) {
    Write(text);
    Write("\r\n");
}

CommandSource::Status ImapConnection::SendNow(std::string_view bytes) {
    if (!alive_) return Status::Closed;
    try {
        connection_.SetTimeout(static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(kSendTimeout).count()));
        connection_.Send(bytes.data(), bytes.size());
        return Status::Ok;
    } catch (const net::CnwSocketErr& error) {
        if (error.Code() == net::wsa::kTimedOut) return Fail(Status::TimedOut, "Timed out sending data -- aborting connection");
        return Fail(Status::Error, SocketErrorText("WSASend", error.Code()));
    }
}

CommandSource::Status ImapConnection::Flush() {
    if (!alive_) return Status::Closed;
    if (send_.empty()) return Status::Ok;
    const Status status = SendNow(send_);
    send_.clear();
    return status;
}

CommandSource::Status ImapConnection::SendContinuation(std::string_view line) {
    WriteLine(line);
    return Flush();
}

CommandSource::Status ImapConnection::StartTls(std::chrono::seconds wait) {
    if (const Status flushed = Flush(); flushed != Status::Ok) return flushed;
    // Whatever came after the command in plain text must not count as if it had come through TLS.
    receiveAt_ = receiveEnd_ = 0;
    try {
        connection_.SetTimeout(Seconds(wait));
        connection_.TlsServerStart();
        return Status::Ok;
    } catch (const net::CnwSocketErr& error) {
        return Fail(Status::Error, error.Message());
    }
}

void ImapConnection::Capture(std::string* capture, std::size_t limit) {
    capture_ = capture;
    captureLimit_ = limit;
}

}  // namespace pw::imap
