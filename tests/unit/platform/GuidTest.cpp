// Guid: text forms accepted and refused, the upper-case braced form, and the Windows binary layout that
// persisted objects begin with.
#include "platform/Guid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace pw {
namespace {

std::array<std::byte, 16> ByteArray(std::initializer_list<unsigned> values) {
    std::array<std::byte, 16> bytes{};
    std::size_t i = 0;
    for (const unsigned v : values) bytes.at(i++) = static_cast<std::byte>(v);
    return bytes;
}

TEST(GuidTest, ParsesWithAndWithoutBracesInEitherCase) {
    const auto braced = Guid::Parse("{00000109-0000-0000-C000-000000000046}");
    ASSERT_TRUE(braced);
    EXPECT_EQ(braced->data1, 0x109u);
    EXPECT_EQ(braced->data2, 0u);
    EXPECT_EQ(braced->data3, 0u);
    EXPECT_EQ(braced->data4, (std::array<std::uint8_t, 8>{0xC0, 0, 0, 0, 0, 0, 0, 0x46}));
    EXPECT_EQ(Guid::Parse("00000109-0000-0000-c000-000000000046"), braced);
    const auto mixed = Guid::Parse("{a1B2c3D4-e5F6-0718-293a-4B5c6D7e8F90}");
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->ToString(), "{A1B2C3D4-E5F6-0718-293A-4B5C6D7E8F90}");
    EXPECT_EQ(Guid::Parse(mixed->ToString()), mixed);
    EXPECT_EQ(Guid{}.ToString(), "{00000000-0000-0000-0000-000000000000}");
    EXPECT_TRUE(Guid::Parse("{00000000-0000-0000-0000-000000000000}")->IsNull());
}

TEST(GuidTest, RejectsMalformedText) {
    for (const char* text : {
             "",
             "{}",
             "{00000109-0000-0000-C000-000000000046",    // opening brace only
             "00000109-0000-0000-C000-000000000046}",    // closing brace only
             "(00000109-0000-0000-C000-000000000046)",   // wrong brackets
             "{{00000109-0000-0000-C000-000000000046}}",
             "{00000109-0000-0000-C000-000000000046}x",
             " {00000109-0000-0000-C000-000000000046}",
             "00000109-0000-0000-C000-00000000004",      // one digit short
             "00000109-0000-0000-C000-0000000000460",    // one digit long
             "000001090-000-0000-C000-000000000046",     // dash in the wrong place
             "00000109-0000-0000-C0000000000000046---",
             "0000010G-0000-0000-C000-000000000046",     // not hexadecimal
             "00000109-0000-0000-C000-00000000004 ",
             "00000109-0000-0000--000-000000000046",
             "+0000109-0000-0000-C000-000000000046",
             "00000109_0000_0000_C000_000000000046",
         }) {
        EXPECT_FALSE(Guid::Parse(text)) << '"' << text << '"';
    }
}

TEST(GuidTest, BinaryLayoutIsLittleEndianFieldsThenData4AsItStands) {
    const Guid persist = *Guid::Parse("{00000109-0000-0000-C000-000000000046}");
    const auto expected = ByteArray({0x09, 0x01, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46});
    EXPECT_EQ(persist.ToBytes(), expected);
    EXPECT_EQ(Guid::FromBytes(expected), persist);

    const Guid distinct = *Guid::Parse("{01234567-89AB-CDEF-0123-456789ABCDEF}");
    const auto layout = ByteArray({0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD,  //
                                   0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF});
    EXPECT_EQ(distinct.ToBytes(), layout);
    EXPECT_EQ(Guid::FromBytes(layout), distinct);
    EXPECT_EQ(Guid::FromBytes(Guid{}.ToBytes()), Guid{});
}

TEST(GuidTest, CreateMakesDistinctVersionFourIdentifiers) {
    std::set<Guid> seen;
    for (int i = 0; i < 200; ++i) {
        const Guid guid = Guid::Create();
        EXPECT_EQ(guid.data3 >> 12, 4) << guid.ToString();
        EXPECT_EQ(guid.data4[0] & 0xC0, 0x80) << guid.ToString();
        EXPECT_EQ(Guid::Parse(guid.ToString()), guid);
        seen.insert(guid);
    }
    EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
}  // namespace pw
