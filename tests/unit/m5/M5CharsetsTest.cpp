// M5Charsets and M5Decoders: the code page table, conversions to UTF-8 and transfer decoding.
#include "m5/M5Charsets.h"
#include "m5/M5Decoders.h"
#include "m5/M5Descriptors.h"
#include "m5/M5Limits.h"

#include <gtest/gtest.h>

namespace pw::m5 {
namespace {

TEST(M5CharsetsTest, NamesMapToCodePages) {
    EXPECT_EQ(M5CodePage("Windows-1251"), 1251U);
    EXPECT_EQ(M5CodePage("windows-1251"), 1251U);
    EXPECT_EQ(M5CodePage("windows-9999"), 9999U);
    EXPECT_EQ(M5CodePage("windows-"), std::nullopt);
    EXPECT_EQ(M5CodePage("windows-12a"), std::nullopt);
    EXPECT_EQ(M5CodePage("windows-99999999999"), std::nullopt);
    EXPECT_EQ(M5CodePage("no-such-charset"), std::nullopt);
    EXPECT_EQ(M5CodePage("ISO-8859-8-I"), 38598U);
    EXPECT_EQ(M5CodePage("x-cp1251"), 1251U);
    EXPECT_EQ(M5CodePage("cp500"), 775U);
    EXPECT_EQ(M5CodePage("UTF-8"), 65001U);
    EXPECT_EQ(M5CodePage("x-iscii-te"), 57005U);
}

TEST(M5CharsetsTest, ConvertsThroughIconvAndFallsBackForUndeclaredBytes) {
    std::string out;
    ASSERT_TRUE(M5ConvertToUtf8(1251, "\xCF\xF0\xE8", out));
    EXPECT_EQ(out, "\xD0\x9F\xD1\x80\xD0\xB8");  // "При"
    ASSERT_TRUE(M5ConvertToUtf8(*M5CodePage("iso-2022-jp"), "\x1B$B$\"\x1B(B", out));
    EXPECT_EQ(out, "\xE3\x81\x82");
    EXPECT_FALSE(M5ConvertToUtf8(57005, "x", out));
    // An invalid sequence becomes U+FFFD and conversion goes on.
    ASSERT_TRUE(M5ConvertToUtf8(65001, "a\xFF" "b", out));
    EXPECT_EQ(out, "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(M5UndeclaredToUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(M5UndeclaredToUtf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(M5DecodeHeaderText("=?windows-1251?B?z/Do?= =?utf-8?Q?_x?= and caf\xE9"), "\xD0\x9F\xD1\x80\xD0\xB8 x and caf\xC3\xA9");
    // A character split across two encoded words of one charset is joined before conversion.
    EXPECT_EQ(M5DecodeHeaderText("a =?UTF-8?Q?=C3?=\t=?utf-8?Q?=A9?= b"), "a \xC3\xA9 b");
}

TEST(M5CharsetsTest, TransferDecodingByNameWithoutRegardToCase) {
    std::vector<std::string> diagnostics;
    EXPECT_EQ(M5EncodingOf("BASE64"), M5Encoding::Base64);
    EXPECT_EQ(M5EncodingOf(" Quoted-Printable "), M5Encoding::QuotedPrintable);
    EXPECT_EQ(M5EncodingOf("X-UUENCODE"), M5Encoding::Uuencode);
    EXPECT_EQ(M5EncodingOf("8Bit"), M5Encoding::Identity);
    EXPECT_EQ(M5EncodingOf("x-gzip"), M5Encoding::Unknown);
    EXPECT_EQ(M5DecodeBody(M5Encoding::QuotedPrintable, "a=3Db", diagnostics), "a=b");
    EXPECT_EQ(M5DecodeBody(M5Encoding::QuotedPrintable, "one =\r\ntwo  \r\nthree=20\r\n", diagnostics),
              "one two\r\nthree \r\n");
    EXPECT_TRUE(diagnostics.empty());
    EXPECT_EQ(M5DecodeBody(M5Encoding::QuotedPrintable, "bad =ZZ", diagnostics), "bad =ZZ");
    EXPECT_EQ(diagnostics, std::vector<std::string>{"M5 invalid quoted-printable element"});
    diagnostics.clear();
    EXPECT_EQ(M5DecodeBody(M5Encoding::Base64, "aGVs\r\nbG8*", diagnostics), "hello");
    EXPECT_EQ(diagnostics, std::vector<std::string>{"M5 invalid base 64 encoding"});
    EXPECT_EQ(M5DecodeBody(M5Encoding::Uuencode, "begin 644 f\r\n#86)C\r\n`\r\nend\r\n", diagnostics), "abc");
    // Lines that claim 45 bytes from one character stop being decoded at the growth limit.
    diagnostics.clear();
    std::string hostile = "begin 644 f\n";
    for (int i = 0; i < 1000; ++i) hostile += "M\n";
    const std::string decoded = M5DecodeBody(M5Encoding::Uuencode, hostile, diagnostics);
    EXPECT_LE(decoded.size(), kMaxDecodedGrowth * hostile.size());
    EXPECT_GT(decoded.size(), hostile.size());
    EXPECT_EQ(diagnostics, std::vector<std::string>{"M5 uuencoded body cut at its limit"});
}

TEST(M5CharsetsTest, ParametersAndAddressLists) {
    const auto parameters = M5ParseParameters(" charset=\"utf-8\"; name=\"a;b.txt\"; FORMAT=flowed; junk; title*=iso-8859-1'en'caf%E9");
    ASSERT_EQ(parameters.size(), 4U);
    EXPECT_EQ(parameters[0].value, "utf-8");
    EXPECT_EQ(parameters[1].value, "a;b.txt");
    EXPECT_EQ(parameters[2].name, "format");
    EXPECT_EQ(parameters[3].value, "caf\xC3\xA9");
    const auto list = M5ParseAddressList("team: a@x.org, \"B (b)\" <b@y.org>;, (c) c@z.org, undisclosed-recipients:;");
    ASSERT_EQ(list.size(), 3U);
    EXPECT_EQ(list[0].local, "a");
    EXPECT_EQ(list[1].name, "B (b)");
    EXPECT_EQ(list[2].domain, "z.org");
}

// What IMAP's ENVELOPE lists: every group between its start and its end, an address as it lacks its
// parts; the display list above keeps reading the same text its own way.
TEST(M5CharsetsTest, GroupedAddressListsKeepGroupsAndWhatIsMissing) {
    using Kind = M5ListedAddress::Kind;
    const std::string text = "team: a@x.org, \"B (b)\" <b@y.org>;, (c) c@z.org, undisclosed-recipients:;, \"x@y\" <User>, "
                             "@host.test; d@w.org, \"=?utf-8?q?T=C3=A9am?=\": e@v.org, in: nested@u.org";
    std::string seen;
    for (const M5ListedAddress& entry : M5ParseGroupedAddressList(text)) {
        const M5Address& a = entry.address;
        seen += entry.kind == Kind::GroupStart ? "[" + a.rawName + ":" : entry.kind == Kind::GroupEnd ? std::string("]") : "";
        if (entry.kind == Kind::Address) seen += "(" + a.rawName + "|" + a.local + "|" + a.domain + ")";
    }
    EXPECT_EQ(seen, "[team:(|a|x.org)(B (b)|b|y.org)](c|c|z.org)[undisclosed-recipients:](x@y|user|)(||host.test)"
                    "(|d|w.org)[=?utf-8?q?T=C3=A9am?=:(|e|v.org)(|nested|u.org)]");
    const auto display = M5ParseAddressList(text);
    ASSERT_EQ(display.size(), 6U);
    EXPECT_EQ(display[3].domain, "localhost");
    EXPECT_EQ(display[4].local, "e");
}

}  // namespace
}  // namespace pw::m5
