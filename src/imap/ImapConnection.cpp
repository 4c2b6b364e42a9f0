// ImapConnection: buffering, bounded waits and failure texts over the shared connection layer.
#include "imap/ImapConnection.h"

#include <zlib.h>

#include <cstring>

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

struct ImapConnection::Compression {
    z_stream in{};
    z_stream out{};
    bool inReady = false;
    bool outReady = false;
    bool inflatedFull = false;  // the last inflate filled the buffer: more may wait inside zlib
    char compressed[kReceiveBufferSize] = {};
    std::string deflated = std::string(kDeflateBlock, '\0');
};

void ImapConnection::CompressionDeleter::operator()(Compression* compression) const {
    if (compression->inReady) inflateEnd(&compression->in);
    if (compression->outReady) deflateEnd(&compression->out);
    delete compression;
}

ImapConnection::ImapConnection(net::SocketConnection& connection) : connection_(connection) {}

bool ImapConnection::StartCompression() {
    if (compression_ || !alive_) return false;
    std::unique_ptr<Compression, CompressionDeleter> compression(new Compression);
    // Raw DEFLATE (negative window bits): RFC 4978 has no zlib header or checksum.
    compression->inReady = inflateInit2(&compression->in, -kDeflateWindowBits) == Z_OK;
    compression->outReady = deflateInit2(&compression->out, kDeflateLevel, Z_DEFLATED, -kDeflateWindowBits, kDeflateMemLevel,
                                         Z_DEFAULT_STRATEGY) == Z_OK;
    if (!compression->inReady || !compression->outReady) return false;
    const std::size_t pending = receiveEnd_ - receiveAt_;
    std::memcpy(compression->compressed, receive_ + receiveAt_, pending);
    compression->in.next_in = reinterpret_cast<Bytef*>(compression->compressed);
    compression->in.avail_in = static_cast<uInt>(pending);
    receiveAt_ = receiveEnd_ = 0;
    compression_ = std::move(compression);
    return true;
}

CommandSource::Status ImapConnection::Inflate() {
    z_stream& in = compression_->in;
    if (in.avail_in == 0 && !compression_->inflatedFull) return Status::Ok;
    in.next_out = reinterpret_cast<Bytef*>(receive_);
    in.avail_out = sizeof receive_;
    const int result = inflate(&in, Z_SYNC_FLUSH);
    // The client's stream may not end: everything after COMPRESS stays compressed.
    if (result != Z_OK && result != Z_BUF_ERROR) return Fail(Status::Error, "Compressed input could not be inflated");
    compression_->inflatedFull = in.avail_out == 0;
    receiveAt_ = 0;
    receiveEnd_ = sizeof receive_ - in.avail_out;
    return Status::Ok;
}

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
        for (;;) {
            if (compression_) {
                if (const Status inflated = Inflate(); inflated != Status::Ok) return inflated;
                if (receiveAt_ < receiveEnd_) return Status::Ok;
            }
            char* into = compression_ ? compression_->compressed : receive_;
            connection_.SetTimeout(Seconds(wait));
            const std::size_t got = connection_.Receive(into, kReceiveBufferSize, false);
            if (got == 0) {
                // Only the reading has ended: a stop shuts the read side, and the session says goodbye.
                readEnded_ = true;
                errorText_ = "Connection gracefully closed";
                return Status::Closed;
            }
            if (!compression_) {
                receiveAt_ = 0;
                receiveEnd_ = got;
                return Status::Ok;
            }
            compression_->in.next_in = reinterpret_cast<Bytef*>(compression_->compressed);
            compression_->in.avail_in = static_cast<uInt>(got);
        }
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
    if (compression_ && (compression_->in.avail_in > 0 || compression_->inflatedFull)) return Wakeup::Input;
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
    if (!compression_) return SendRaw(bytes);
    z_stream& out = compression_->out;
    out.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    out.avail_in = static_cast<uInt>(bytes.size());
    std::string& block = compression_->deflated;
    do {
        out.next_out = reinterpret_cast<Bytef*>(block.data());
        out.avail_out = static_cast<uInt>(block.size());
        if (const int result = deflate(&out, Z_SYNC_FLUSH); result != Z_OK && result != Z_BUF_ERROR) {
            return Fail(Status::Error, "Output could not be compressed");
        }
        const std::size_t produced = block.size() - out.avail_out;
        if (produced != 0) {
            if (const Status sent = SendRaw(std::string_view(block).substr(0, produced)); sent != Status::Ok) return sent;
        }
    } while (out.avail_out == 0);
    return Status::Ok;
}

CommandSource::Status ImapConnection::SendRaw(std::string_view bytes) {
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
