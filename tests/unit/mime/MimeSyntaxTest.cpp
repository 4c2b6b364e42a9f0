// MimeSyntax: the header end, delimiter lines and parameters that every reader of a message shares.
#include "mime/MimeSyntax.h"

#include "mime/HeaderBlock.h"

#include <gtest/gtest.h>

#include <string>

namespace pw::mime {
namespace {

constexpr std::size_t kNone = std::string::npos;

// A reader that appends chunks and resumes its search must find the end a whole search finds, wherever
// the chunks split the empty line.
TEST(MimeSyntaxTest, ResumedHeaderSearchFindsTheEndWhereverTheBytesSplit) {
    const std::string messages[] = {
        "A: 1\r\nB: 2\r\n\r\nbody\r\n\r\n", "A: 1\nB: 2\n\nbody\n\n", "A: 1\nB: 2\n\r\nbody", "A: 1\r\n B\r\n\r\n",
        "\r\nbody", "A: 1\r\nno end yet\r\n",
    };
    for (const std::string& data : messages) {
        const std::size_t whole = FindHeaderEnd(data);
        for (std::size_t had = 0; had <= data.size(); ++had) {
            const std::string first = data.substr(0, had);
            if (FindHeaderEnd(first) != kNone) continue;  // the reader would have stopped already
            EXPECT_EQ(FindHeaderEnd(data, 0, had), whole) << data << " split at " << had;
        }
    }
}

TEST(MimeSyntaxTest, HeaderEndsAtTheEmptyLineOfEitherLineBreak) {
    EXPECT_EQ(FindHeaderEnd("A: 1\r\n\r\nB"), 8u);
    EXPECT_EQ(FindHeaderEnd("A: 1\n\nB"), 6u);
    EXPECT_EQ(FindHeaderEnd("A: 1\n\r\nB"), 7u);
    EXPECT_EQ(FindHeaderEnd("\nB"), 1u);
    EXPECT_EQ(FindHeaderEnd("A: 1\r\nB: 2\r\n"), kNone);
    // Lone CRs end lines only for the readers that say so.
    EXPECT_EQ(FindHeaderEnd("A: 1\r\rB"), kNone);
    EXPECT_EQ(FindHeaderEnd("A: 1\r\rB", 0, 0, LoneCr::EndsLine), 6u);
    EXPECT_EQ(FindHeaderEnd("A: 1\r\r\nB", 0, 0, LoneCr::EndsLine), 7u);
    EXPECT_EQ(FindHeaderEnd("X\r\nA: 1\r\n\r\n", 3), 11u);
}

TEST(MimeSyntaxTest, DelimiterLinesHoldOnlyTheBoundaryAndWhiteSpace) {
    EXPECT_EQ(ClassifyDelimiterLine("--sep", "sep"), DelimiterKind::Delimiter);
    EXPECT_EQ(ClassifyDelimiterLine("--sep \t ", "sep"), DelimiterKind::Delimiter);
    EXPECT_EQ(ClassifyDelimiterLine("--sep--", "sep"), DelimiterKind::Close);
    EXPECT_EQ(ClassifyDelimiterLine("--sep--  ", "sep"), DelimiterKind::Close);
    EXPECT_EQ(ClassifyDelimiterLine("--sep text", "sep"), DelimiterKind::None);
    EXPECT_EQ(ClassifyDelimiterLine("--sep-- text", "sep"), DelimiterKind::None);
    EXPECT_EQ(ClassifyDelimiterLine("--sepx", "sep"), DelimiterKind::None);
    EXPECT_EQ(ClassifyDelimiterLine("--sep-", "sep"), DelimiterKind::None);
    EXPECT_EQ(ClassifyDelimiterLine(" --sep", "sep"), DelimiterKind::None);
    EXPECT_EQ(ClassifyDelimiterLine("--", ""), DelimiterKind::None);
}

TEST(MimeSyntaxTest, ParametersAreSplitOutsideQuotesAndJoinedFromSections) {
    const auto quoted = ParseParameters(R"( x="a;boundary=b"; boundary=c; xboundary=zz)");
    EXPECT_EQ(ParameterValue(quoted, "boundary"), "c");
    EXPECT_EQ(ParameterValue(quoted, "x"), "a;boundary=b");
    EXPECT_EQ(ParameterValue(quoted, "xboundary"), "zz");

    // Sections in any order; a plain value of the same name gives way; the charset is reported.
    const auto sectioned = ParseParameters("name*1=\" b\"; name=plain; name*0*=iso-8859-1'de'%E4; other*=utf-8''x%41");
    ASSERT_EQ(sectioned.size(), 2u);
    EXPECT_EQ(sectioned[0].name, "name");
    EXPECT_EQ(sectioned[0].value, "\xE4 b");
    EXPECT_EQ(sectioned[0].charset, "iso-8859-1");
    EXPECT_TRUE(sectioned[0].sectioned);
    EXPECT_EQ(ParameterValue(sectioned, "other"), "xA");
    EXPECT_TRUE(ParameterValue(ParseParameters("a*x=1; b*12345=2"), "a").empty());
}

TEST(MimeSyntaxTest, HeaderBlockBoundaryIsTheParameterNotASubstring) {
    const auto boundaryOf = [](const std::string& contentType) {
        HeaderBlock header;
        header.Parse("Content-Type: " + contentType + "\r\n\r\n");
        return header.Boundary();
    };
    EXPECT_EQ(boundaryOf(R"(multipart/mixed; x="a;boundary=b"; boundary=c)"), "c");
    EXPECT_EQ(boundaryOf("multipart/mixed; xboundary=zz"), "");
    EXPECT_EQ(boundaryOf("multipart/mixed;\r\n boundary*0=\"sec\"; boundary*1=tion"), "section");
    EXPECT_EQ(boundaryOf("multipart/mixed; boundary=\"" + std::string(300, 'b') + "\""), "");
}

}  // namespace
}  // namespace pw::mime
