// CharSetFilter: names that iconv takes for one set are one, what a message declares, and the file.
#include "antispam/CharSetFilter.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

namespace pw::antispam {
namespace {

using test::Bytes;

mime::Message Parse(std::string_view content) {
    mime::Message message;
    (void)message.LoadBytes(std::string(content));
    return message;
}

TEST(CharSetFilterTest, NamesOfOneSetCompareEqual) {
    EXPECT_EQ(CanonicalCharset("windows-1251"), CanonicalCharset("CP1251"));
    EXPECT_EQ(CanonicalCharset("gb2312"), CanonicalCharset("EUC-CN"));
    EXPECT_EQ(CanonicalCharset("\"koi8-r\""), CanonicalCharset("KOI8-R"));
    EXPECT_EQ(CanonicalCharset("ISO-8859-1*en"), CanonicalCharset("latin1"));
    EXPECT_NE(CanonicalCharset("koi8-u"), CanonicalCharset("koi8-r"));
    EXPECT_EQ(CanonicalCharset("x-unknown-set"), "X-UNKNOWN-SET");
}

TEST(CharSetFilterTest, FindsTheSetsAMessageDeclaresAndKeepsItsFile) {
    test::ScratchDirectory dir;
    const DirStorage root(dir.Path());
    CharSetFilter filter;
    ASSERT_EQ(filter.Load(root), S_OK);
    ASSERT_EQ(filter.Add("gb2312"), S_OK);
    ASSERT_EQ(filter.Add("windows-1251"), S_OK);
    ASSERT_EQ(filter.Add("koi8-r"), S_OK);
    EXPECT_EQ(filter.Add("CP1251"), S_FALSE);  // the same set
    EXPECT_EQ(filter.Add("bad\r\nname"), E_INVALIDARG);
    const Bytes file = Bytes().U32(1).U32(6).Ascii("GB2312").U32(12).Ascii("WINDOWS-1251").U32(6).Ascii("KOI8-R");
    EXPECT_EQ(test::ReadFileBytes(dir / CharSetFilter::FileName()), file.Get());

    const std::pair<std::string_view, std::string_view> spam[] = {
        {"Subject: =?gb2312?B?xOO6wg==?=\r\n\r\nx", "GB2312"},
        {"Subject: plain =?us-ascii?Q?a?= =?EUC-CN?Q?b?=\r\n\r\nx", "GB2312"},
        {"MIME-Version: 1.0\r\nContent-Type: text/plain; charset=\"koi8-r\"\r\n\r\nx", "KOI8-R"},
        {"MIME-Version: 1.0\r\nContent-Type: text/plain; format=flowed; charset=CP1251\r\n\r\nx", "WINDOWS-1251"},
        {"MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
         "Content-Type: text/plain; charset=us-ascii\r\n\r\nx\r\n--b\r\nContent-Type: text/html; charset=cp1251\r\n\r\ny\r\n--b--\r\n",
         "WINDOWS-1251"},
    };
    for (const auto& [content, entry] : spam) {
        std::string results = "unchanged";
        EXPECT_EQ(filter.Spamicity(Parse(content), results), kCharsetSpamScore) << content;
        EXPECT_EQ(results, entry);
    }
    std::string results = "unchanged";
    EXPECT_EQ(filter.Spamicity(Parse("Subject: =?utf-8?Q?x?=\r\nContent-Type: text/plain; x=\"charset=koi8-r\"\r\n\r\nx"), results), 0);
    EXPECT_EQ(results, "unchanged");

    // Another filter object sees a change at its next Refresh; a damaged file is absent and kept.
    CharSetFilter other;
    ASSERT_EQ(other.Load(root), S_OK);
    ASSERT_EQ(filter.Remove("cp1251"), S_OK);
    EXPECT_EQ(filter.Remove("cp1251"), S_FALSE);
    EXPECT_TRUE(other.Refresh());
    EXPECT_EQ(other.Count(), 2u);
    const Bytes damaged = Bytes().U32(1).U32(40).Ascii("short");
    test::WriteFileBytes(dir / CharSetFilter::FileName(), damaged.Get());
    EXPECT_FALSE(other.Refresh());
    EXPECT_EQ(other.Spamicity(Parse("Subject: =?gb2312?Q?x?=\r\n\r\n"), results), 0);
    EXPECT_EQ(other.Add("big5"), E_FAIL);
    EXPECT_EQ(test::ReadFileBytes(dir / CharSetFilter::FileName()), damaged.Get());
}

}  // namespace
}  // namespace pw::antispam
