// IpAddress: the dotted-quad parser against inet_pton's verdicts, both byte orders, the reversed form
// block lists and in-addr.arpa names use, and the range lists.
#include "platform/IpAddress.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace pw {
namespace {

// The C library's verdict, for the texts a C string can carry.
bool LibraryAccepts(const std::string& text, std::uint32_t& networkOrder) {
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return false;
    networkOrder = address.s_addr;
    return true;
}

TEST(IpAddressTest, ParsesExactlyWhatInetPtonAcceptsAndNothingMore) {
    const char* accepted[] = {"0.0.0.0", "1.2.3.4", "127.0.0.1", "255.255.255.255", "10.0.0.255", "192.168.100.9"};
    for (const std::string text : accepted) {
        std::uint32_t expected = 0;
        ASSERT_TRUE(LibraryAccepts(text, expected)) << text;
        const auto parsed = IpAddress::Parse(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(parsed->NetworkOrder(), expected) << text;
        EXPECT_EQ(parsed->Text(), text) << "formats back to the same text";
        EXPECT_EQ(ParseIPv4(text), expected) << text;
        EXPECT_EQ(parsed->GetFamily(), IpAddress::Family::IPv4);
    }
    const char* refused[] = {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.256", "1.2.3.1000", "01.2.3.4", "1.2.3.04",
                             "1.2.3.00", "0x7f.0.0.1", "127.1", "2130706433", "1.2.3.4 ", " 1.2.3.4", "1.2.3.4x",
                             "1.2.3.4.", ".1.2.3.4", "1..3.4", "1.2.3.-4", "+1.2.3.4", "1,2,3,4", "::1", "::ffff:1.2.3.4",
                             "1.2.3.4/8", "localhost"};
    for (const std::string text : refused) {
        std::uint32_t ignored = 0;
        ASSERT_FALSE(LibraryAccepts(text, ignored)) << text << ": the case list must follow inet_pton";
        EXPECT_FALSE(IpAddress::Parse(text)) << text;
        EXPECT_FALSE(ParseIPv4(text)) << text;
    }
    // A NUL inside the text is not where it ends: what follows would otherwise pass unseen.
    EXPECT_FALSE(IpAddress::Parse(std::string_view("1.2.3.4\0junk", 12)));
    EXPECT_TRUE(IpAddress::Parse(std::string_view("1.2.3.4junk", 7)));
}

TEST(IpAddressTest, KeepsBothByteOrdersApartAndReversesForDns) {
    const auto address = IpAddress::Parse("1.2.3.4");
    ASSERT_TRUE(address);
    EXPECT_EQ(address->HostOrder(), 0x01020304u);
    EXPECT_EQ(address->NetworkOrder(), htonl(0x01020304u));
    EXPECT_EQ(IpAddress::FromHostOrder(0x01020304u), *address);
    EXPECT_EQ(IpAddress::FromNetworkOrder(address->NetworkOrder()), *address);
    EXPECT_EQ(address->ReversedText(), "4.3.2.1");
    EXPECT_EQ(IpAddress::Parse("127.0.0.2")->ReversedText(), "2.0.0.127");
    EXPECT_EQ(IpAddress::Parse("10.200.0.255")->ReversedText(), "255.0.200.10");
    EXPECT_EQ(IpAddress().Text(), "0.0.0.0");
    EXPECT_EQ(IPv4Text(htonl(0xC0A80001u)), "192.168.0.1");
}

TEST(IpAddressTest, RangesIncludeBothEndsSwapBackwardsOnesAndTakeLastZeroAsTheFirstAlone) {
    const auto at = [](const char* text) { return *IpAddress::Parse(text); };
    IpRangeList list;
    EXPECT_TRUE(list.Empty());
    EXPECT_FALSE(list.Contains(at("0.0.0.0")));
    list.Add(at("10.0.0.5"), IpAddress());
    list.Add(at("192.168.1.20"), at("192.168.1.10"), "office");
    list.Add(at("172.16.0.1").HostOrder(), at("172.16.0.3").HostOrder());
    ASSERT_EQ(list.Ranges().size(), 3u);
    EXPECT_EQ(list.Ranges()[0].last, at("10.0.0.5").HostOrder());
    EXPECT_EQ(list.Ranges()[1].first, at("192.168.1.10").HostOrder());
    EXPECT_EQ(list.Ranges()[1].comment, "office");
    // Compared in host order: as network-order numbers 192.168.0.15 would fall inside the office range.
    for (const char* in : {"10.0.0.5", "192.168.1.10", "192.168.1.15", "192.168.1.20", "172.16.0.1", "172.16.0.3"}) {
        EXPECT_TRUE(list.Contains(at(in))) << in;
        EXPECT_TRUE(list.Contains(at(in).HostOrder())) << in;
    }
    for (const char* out : {"10.0.0.4", "10.0.0.6", "0.0.0.0", "192.168.1.9", "192.168.1.21", "172.16.0.4", "192.168.0.15"}) {
        EXPECT_FALSE(list.Contains(at(out))) << out;
    }
}

}  // namespace
}  // namespace pw
