// IpAddress: the dotted-quad parser against inet_pton's verdicts, both byte orders, the reversed form
// block lists and in-addr.arpa names use, and the range lists.
#include "platform/IpAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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
                             "1.2.3.4.", ".1.2.3.4", "1..3.4", "1.2.3.-4", "+1.2.3.4", "1,2,3,4", "1.2.3.4/8", "localhost",
                             "[::1]", "::1%lo", ":::1", "1::2::3", "::1/128", "2001:db8::g", " ::1"};
    for (const std::string text : refused) {
        std::uint32_t ignored = 0;
        ASSERT_FALSE(LibraryAccepts(text, ignored)) << text << ": the case list must follow inet_pton";
        in6_addr ignored6{};
        ASSERT_NE(::inet_pton(AF_INET6, text.c_str(), &ignored6), 1) << text << ": the case list must follow inet_pton";
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
    EXPECT_EQ(list.Ranges()[0].last, at("10.0.0.5"));
    EXPECT_EQ(list.Ranges()[1].first, at("192.168.1.10"));
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

TEST(IpAddressTest, Ipv6TextSocketFormAndReversedNibbles) {
    const auto address = IpAddress::Parse("2001:0DB8:0:0:0:0:0567:89AB");
    ASSERT_TRUE(address);
    EXPECT_TRUE(address->IsIPv6());
    EXPECT_EQ(address->Text(), "2001:db8::567:89ab");
    EXPECT_EQ(address->NetworkOrder(), 0u);
    EXPECT_EQ(address->ReversedText(), "b.a.9.8.7.6.5.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2");
    EXPECT_NE(*IpAddress::Parse("::"), IpAddress()) << ":: and 0.0.0.0 are of two families";
    EXPECT_TRUE(IpAddress::Parse("::1")->IsLoopbackHost());
    EXPECT_FALSE(IpAddress::Parse("::2")->IsLoopbackHost());

    // A listener on "::" sees an IPv4 client in the mapped form: it is that IPv4 address.
    sockaddr_storage socket{};
    const socklen_t size = IpAddress::Parse("::ffff:192.0.2.7")->ToSocketAddress(25, socket);
    EXPECT_EQ(reinterpret_cast<const sockaddr_in6&>(socket).sin6_port, htons(25));
    const auto client = IpAddress::FromSocketAddress(reinterpret_cast<const sockaddr*>(&socket), size);
    ASSERT_TRUE(client);
    EXPECT_EQ(*client, *IpAddress::Parse("192.0.2.7"));
    EXPECT_FALSE(IpAddress::FromSocketAddress(reinterpret_cast<const sockaddr*>(&socket), sizeof(sockaddr_in)))
        << "a short IPv6 socket address";
}

TEST(IpAddressTest, StoredRangesTakePrefixesAndKeepTheFamiliesApart) {
    const auto at = [](const char* text) { return *IpAddress::Parse(text); };
    IpRangeList list;
    EXPECT_TRUE(list.AddSetting(Variant::Text(" 10.1.0.0/16 "), Variant::I4(0)));
    EXPECT_TRUE(list.AddSetting(Variant::Text("2001:db8:ff::1/48"), Variant::Text("ignored")));
    EXPECT_TRUE(list.AddSetting(Variant::Text("::1"), Variant::I4(0), "loopback"));  // a numeric 0 end: the start alone
    EXPECT_TRUE(list.AddSetting(Variant::Text("fd00::9"), Variant::Text("fd00::5")));  // backwards: swapped
    EXPECT_TRUE(list.AddSetting(Variant::Text("192.0.2.1/32"), Variant()));
    for (const char* bad : {"10.0.0.0/33", "2001:db8::/129", "10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/8x", "::1/ 8", "host/8"}) {
        EXPECT_FALSE(list.AddSetting(Variant::Text(bad), Variant::I4(0))) << bad;
    }
    EXPECT_FALSE(list.AddSetting(Variant::Text("10.0.0.1"), Variant::Text("::5"))) << "ends of two families";
    ASSERT_EQ(list.Ranges().size(), 5u);
    EXPECT_EQ(list.Ranges()[2].comment, "loopback");

    for (const char* in : {"10.1.0.0", "10.1.255.255", "2001:db8:ff::", "2001:db8:ff:ffff:ffff:ffff:ffff:ffff", "::1", "fd00::5",
                           "fd00::7", "fd00::9", "192.0.2.1"}) {
        EXPECT_TRUE(list.Contains(at(in))) << in;
    }
    // 0.0.0.1 and ::1 have the same low bytes; 10.1.x.x in the mapped form is not the IPv4 range's.
    for (const char* out : {"10.2.0.0", "10.0.255.255", "2001:db8:fe:ffff::", "2001:db8:100::", "::2", "0.0.0.1", "fd00::a",
                            "::ffff:10.1.0.1", "192.0.2.2", "192.0.2.0"}) {
        EXPECT_FALSE(list.Contains(at(out))) << out;
    }
    IpRangeList everything;
    EXPECT_TRUE(everything.AddSetting(Variant::Text("::/0"), Variant()));
    EXPECT_TRUE(everything.Contains(at("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff")));
    EXPECT_FALSE(everything.Contains(at("255.255.255.255")));
}

}  // namespace
}  // namespace pw
