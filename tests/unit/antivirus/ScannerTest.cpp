// The scanners' pieces: the argument template, the names files get, the clamd protocol against a
// fake daemon that checks the framing, and the exit codes of a scanner.
#include "antivirus/Clamd.h"
#include "antivirus/CommandLineScanner.h"
#include "platform/Stream.h"
#include "platform/UniqueFd.h"
#include "TestSupport.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace pw::antivirus {
namespace {

using namespace std::chrono_literals;

TEST(ScannerArguments, SplitAtBlanksQuotesGroupAndPlaceholdersAreReplacedInsideTheirArgument) {
    EXPECT_EQ(ScannerArguments(R"(  --mode "a b"  --in=%TEMPFILE% "%REPORTFILE%" "" x)", "/t/m.eml", "/t/r.txt"),
              (std::vector<std::string>{"--mode", "a b", "--in=/t/m.eml", "/t/r.txt", "", "x"}));
    // A path holding a placeholder's text is not replaced again, and nothing is shell syntax.
    EXPECT_EQ(ScannerArguments("%TEMPFILE%;rm %REPORTFILE%|$(x)", "/d/%REPORTFILE%", "/d/r"),
              (std::vector<std::string>{"/d/%REPORTFILE%;rm", "/d/r|$(x)"}));
    EXPECT_TRUE(ScannerArguments("   ", "a", "b").empty());
}

TEST(AttachmentFileName, KeepsOnlyAShortAlphanumericExtension) {
    EXPECT_EQ(AttachmentFileName(1, "report.PDF"), "part-1.PDF");
    EXPECT_EQ(AttachmentFileName(2, "data.tar.gz"), "part-2.gz");
    EXPECT_EQ(AttachmentFileName(3, "../../x"), "part-3");
    EXPECT_EQ(AttachmentFileName(4, "a;touch y"), "part-4");
    EXPECT_EQ(AttachmentFileName(5, "x.abcdefghi"), "part-5");
    EXPECT_EQ(AttachmentFileName(6, "x.12345678"), "part-6.12345678");
    EXPECT_EQ(AttachmentFileName(7, "x."), "part-7");
    EXPECT_EQ(AttachmentFileName(8, "x.p/f"), "part-8");
    EXPECT_EQ(AttachmentFileName(9, "x.\xc3\xa9"), "part-9");
}

TEST(ClamdAddress, PathsAndHostPorts) {
    EXPECT_EQ(ClamdAddress::Parse("/var/run/clamav/clamd.ctl").path, "/var/run/clamav/clamd.ctl");
    EXPECT_EQ(ClamdAddress::Parse("clamd.sock").path, "clamd.sock");
    const ClamdAddress tcp = ClamdAddress::Parse("127.0.0.1:3310");
    EXPECT_TRUE(tcp.path.empty());
    EXPECT_EQ(tcp.host, "127.0.0.1");
    EXPECT_EQ(tcp.port, "3310");
    EXPECT_EQ(ClamdAddress::Parse("[::1]:3310").host, "::1");
}

// A clamd of one connection: reads the command and the chunks, then answers (or does not).
class FakeClamd {
public:
    FakeClamd(const test::ScratchDirectory& scratch, std::string answer, bool answer_at_all = true)
        : path_(scratch / "clamd.sock") {
        listener_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path_.c_str(), path_.size());
        EXPECT_EQ(::bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_.Get(), 4), 0);
        thread_ = std::thread([this, answer = std::move(answer), answer_at_all] {
            UniqueFd peer(::accept(listener_.Get(), nullptr, nullptr));
            if (!peer) return;
            command_ = ReadUntilZero(peer.Get());
            if (command_ == "zINSTREAM") {
                for (;;) {
                    std::uint32_t length = 0;
                    if (!ReadExactly(peer.Get(), &length, sizeof length)) return;
                    length = ntohl(length);
                    if (length == 0) break;
                    std::string chunk(length, '\0');
                    if (!ReadExactly(peer.Get(), chunk.data(), length)) return;
                    ++chunks_;
                    payload_ += chunk;
                }
                ended_ = true;
            }
            if (answer_at_all) {
                (void)::send(peer.Get(), answer.data(), answer.size(), MSG_NOSIGNAL);
            } else {
                char byte;
                (void)::recv(peer.Get(), &byte, 1, 0);  // until the client gives up
            }
        });
    }
    ~FakeClamd() { Join(); }
    // What it saw is read after this.
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    const std::string& Path() const { return path_; }
    std::string command_;
    std::string payload_;
    std::size_t chunks_ = 0;
    bool ended_ = false;

private:
    static bool ReadExactly(int fd, void* data, std::size_t size) {
        auto* bytes = static_cast<char*>(data);
        while (size > 0) {
            const ssize_t got = ::recv(fd, bytes, size, 0);
            if (got <= 0) return false;
            bytes += got;
            size -= static_cast<std::size_t>(got);
        }
        return true;
    }
    static std::string ReadUntilZero(int fd) {
        std::string text;
        char c;
        while (::recv(fd, &c, 1, 0) == 1 && c != '\0') text += c;
        return text;
    }
    std::string path_;
    UniqueFd listener_;
    std::thread thread_;
};

MemoryStream Content(std::size_t size) {
    std::vector<std::byte> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::byte>(i * 7);
    return MemoryStream(std::move(bytes));
}

TEST(ClamdScan, SendsTheContentInLengthPrefixedChunksEndedByAZeroLengthAndReadsTheVerdict) {
    test::ScratchDirectory scratch;
    const std::size_t size = kClamdChunkSize * 2 + 123;
    MemoryStream expected = Content(size);
    {
        FakeClamd clamd(scratch, std::string("stream: OK\0", 11));
        MemoryStream content = Content(size);
        const ScanResult result = ClamdScan(clamd.Path(), content, 10s);
        clamd.Join();
        EXPECT_EQ(result.verdict, Verdict::Clean);
        EXPECT_EQ(clamd.command_, "zINSTREAM");
        EXPECT_TRUE(clamd.ended_);
        EXPECT_EQ(clamd.chunks_, 3u);
        EXPECT_EQ(clamd.payload_, std::string(reinterpret_cast<const char*>(expected.Bytes().data()), size));
    }
    test::ScratchDirectory second;
    {
        FakeClamd clamd(second, std::string("stream: Eicar-Test-Signature FOUND\0", 36));
        MemoryStream content = Content(10);
        const ScanResult result = ClamdScan(clamd.Path(), content, 10s);
        EXPECT_EQ(result.verdict, Verdict::Infected);
        EXPECT_EQ(result.text, "Eicar-Test-Signature");
    }
}

TEST(ClamdScan, AnythingButAVerdictIsAFailureNeverClean) {
    {
        // Over clamd's stream limit: no scan of this message can ever succeed, which the caller must know.
        test::ScratchDirectory scratch;
        FakeClamd clamd(scratch, std::string("INSTREAM size limit exceeded. ERROR\0", 37));
        MemoryStream content = Content(100);
        const ScanResult result = ClamdScan(clamd.Path(), content, 10s);
        EXPECT_EQ(result.verdict, Verdict::TooLarge);
        EXPECT_NE(result.text.find("size limit exceeded"), std::string::npos);
    }
    for (const std::string& answer : {std::string("stream: FOUND\0", 14), std::string("UNKNOWN COMMAND\0", 16), std::string()}) {
        test::ScratchDirectory scratch;
        FakeClamd clamd(scratch, answer);
        MemoryStream content = Content(100);
        const ScanResult result = ClamdScan(clamd.Path(), content, 10s);
        EXPECT_EQ(result.verdict, Verdict::Failed) << answer;
        EXPECT_FALSE(result.text.empty());
    }
    // Silent past the time-out.
    test::ScratchDirectory scratch;
    {
        FakeClamd clamd(scratch, "", false);
        MemoryStream content = Content(100);
        const auto started = std::chrono::steady_clock::now();
        const ScanResult result = ClamdScan(clamd.Path(), content, 300ms);
        EXPECT_EQ(result.verdict, Verdict::Failed);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    }
    // Nobody there.
    MemoryStream content = Content(100);
    EXPECT_EQ(ClamdScan(scratch / "nobody.sock", content, 1s).verdict, Verdict::Failed);
    std::string problem;
    EXPECT_FALSE(ClamdPing(scratch / "nobody.sock", 1s, problem));
    EXPECT_NE(problem.find("nobody.sock"), std::string::npos);
}

TEST(RunScanner, ExitCodesTheTableAndScannersThatDidNotRunToTheirEnd) {
    test::ScratchDirectory scratch;
    ScanSettings settings;
    settings.commandPath = "/bin/sh";
    settings.timeout = 1s;
    const auto run = [&](const std::string& script) {
        settings.commandLine = "-c \"" + script + "\" scanner %TEMPFILE% %REPORTFILE%";
        return RunScanner(settings, scratch / "message.eml", scratch / "report.txt");
    };
    // An empty table: any non-zero code is a virus.
    EXPECT_EQ(run("exit 0").verdict, Verdict::Clean);
    EXPECT_EQ(run("exit 7").verdict, Verdict::Infected);
    // The placeholders arrive as the script's own arguments, stdin is empty.
    EXPECT_EQ(run("test $1 = " + (scratch / "message.eml") + " && test $2 = " + (scratch / "report.txt") +
                  " && test $(wc -c) -eq 0 && exit 9").verdict,
              Verdict::Infected);
    settings.retcodes = {{3, "Test virus"}, {5, ""}};
    const ScanResult listed = run("exit 3");
    EXPECT_EQ(listed.verdict, Verdict::Infected);
    EXPECT_EQ(listed.text, "Test virus");
    EXPECT_EQ(run("exit 5").verdict, Verdict::Infected);
    EXPECT_EQ(run("exit 4").verdict, Verdict::Failed);
    EXPECT_EQ(run("kill -9 $$").verdict, Verdict::Failed);
    EXPECT_EQ(run("sleep 30").verdict, Verdict::Failed);
    settings.commandPath = scratch / "no-such-scanner";
    EXPECT_EQ(run("exit 0").verdict, Verdict::Failed);
}

TEST(ScratchDirectory, IsPrivateAndGoesWithEverythingInIt) {
    test::ScratchDirectory base;
    std::string problem;
    std::string path;
    {
        auto scratch = ScratchDirectory::Make(base.Path() + "/", problem);
        ASSERT_TRUE(scratch) << problem;
        path = scratch->Path();
        EXPECT_EQ(path.rfind(base.Path() + "/pw-av-", 0), 0u) << path;
        struct stat info{};
        ASSERT_EQ(::stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        ASSERT_EQ(::mkdir((path + "/left").c_str(), 0700), 0);
        std::FILE* file = std::fopen((path + "/left/over").c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
    }
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
    EXPECT_FALSE(ScratchDirectory::Make(base / "missing", problem));
    EXPECT_NE(problem.find("missing"), std::string::npos);
}

}  // namespace
}  // namespace pw::antivirus
