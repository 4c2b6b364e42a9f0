// Codecs: the transfer encodings and encoded words as other mailers write and read them.
#include "mime/Codecs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace pw::mime {
namespace {

// Every byte value, in an order that moves multi-byte groups across line ends.
std::string AllBytes(std::size_t length, unsigned step = 7) {
    std::string bytes;
    for (std::size_t i = 0; i < length; ++i) bytes += static_cast<char>((i * step + i / 256) & 0xFF);
    return bytes;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

TEST(CodecsTest, Base64PaddingAndSeventySixColumnLines) {
    EXPECT_EQ(EncodeBase64(""), "");
    EXPECT_EQ(EncodeBase64("f"), "Zg==");
    EXPECT_EQ(EncodeBase64("fo"), "Zm8=");
    EXPECT_EQ(EncodeBase64("foo"), "Zm9v");
    EXPECT_EQ(EncodeBase64("foob"), "Zm9vYg==");
    // 57 bytes fill one line exactly; the 58th starts a second one, never an empty last line.
    EXPECT_EQ(EncodeBase64(std::string(57, 'x')).find('\r'), std::string::npos);
    EXPECT_EQ(Lines(EncodeBase64(std::string(58, 'x'))).size(), 2u);
    EXPECT_EQ(EncodeBase64(std::string(200, 'x'), false).find('\n'), std::string::npos);

    for (std::size_t length : {0u, 1u, 2u, 56u, 57u, 58u, 114u, 1000u}) {
        const std::string data = AllBytes(length);
        const std::string encoded = EncodeBase64(data);
        const auto lines = Lines(encoded);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_TRUE(i + 1 == lines.size() ? lines[i].size() <= 76 : lines[i].size() == 76) << length << " line " << i;
        }
        EXPECT_EQ(DecodeBase64(encoded), data) << length;
    }
}

TEST(CodecsTest, Base64DecodeSkipsGarbageAndStopsAtPadding) {
    EXPECT_EQ(DecodeBase64("Zm9v\r\nYmFy"), "foobar");
    EXPECT_EQ(DecodeBase64("Zm9v\nYm!!F*y \t\x80\xff"), "foobar");
    EXPECT_EQ(DecodeBase64("Zm8=YmFy"), "fo");  // what follows the padding is not data
    EXPECT_EQ(DecodeBase64("Zg"), "f");          // missing padding still decodes
    EXPECT_EQ(DecodeBase64("Z"), "");            // six bits make no byte
    EXPECT_EQ(DecodeBase64(std::string("\0\0Zm9v", 6)), "foo");
}

TEST(CodecsTest, QuotedPrintableLiteralsEscapesAndLineEnds) {
    std::string literal;
    for (int c = '!'; c <= '~'; ++c) {
        if (c != '=') literal += static_cast<char>(c);
    }
    // All of them stay as they are; only soft breaks are added to keep the line short.
    std::string encoded = EncodeQuotedPrintable(literal);
    for (std::size_t soft; (soft = encoded.find("=\r\n")) != std::string::npos;) encoded.erase(soft, 3);
    EXPECT_EQ(encoded, literal + "\r\n");
    EXPECT_EQ(EncodeQuotedPrintable("a=b"), "a=3Db\r\n");
    EXPECT_EQ(EncodeQuotedPrintable("caf\xE9 \x01\x7F\x80\xFF"), "caf=E9 =01=7F=80=FF\r\n");
    // A blank or tab ending a line would be taken for transport padding and dropped.
    EXPECT_EQ(EncodeQuotedPrintable("a b \r\nc\t\nd"), "a b=20\r\nc=09\r\nd\r\n");
    EXPECT_EQ(EncodeQuotedPrintable("\n\n"), "\r\n\r\n");
    EXPECT_EQ(EncodeQuotedPrintable(""), "");
}

TEST(CodecsTest, QuotedPrintableSoftBreaksNeverSplitAnEscapeNorPassSeventySix) {
    for (std::size_t shift = 0; shift < 4; ++shift) {
        std::string data = std::string(shift, 'a');
        for (int i = 0; i < 300; ++i) data += (i % 3 == 0) ? '\xC3' : (i % 5 == 0 ? ' ' : 'x');
        // Every byte but LF, which is a line break of the text and comes back as CR LF.
        std::string bytes = AllBytes(500, 13);
        std::replace(bytes.begin(), bytes.end(), '\n', 'n');
        data += "\r\nshort \t line\r\n" + bytes + "\r\n";
        const std::string encoded = EncodeQuotedPrintable(data);
        for (const std::string& line : Lines(encoded)) {
            EXPECT_LE(line.size(), 76u) << line;
            const std::size_t equals = line.rfind('=');
            // The last "=" of a line is a soft break (the last character) or starts a whole "=XX".
            EXPECT_TRUE(equals == std::string::npos || equals + 1 == line.size() || equals + 3 <= line.size()) << line;
            EXPECT_TRUE(line.empty() || (line.back() != ' ' && line.back() != '\t')) << line;
            for (const char c : line) EXPECT_TRUE((c >= ' ' && c <= '~') || c == '\t') << line;
        }
        EXPECT_EQ(DecodeQuotedPrintable(encoded), data) << shift;
    }
}

TEST(CodecsTest, QuotedPrintableDecodeSoftBreaksPaddingAndBadEscapes) {
    EXPECT_EQ(DecodeQuotedPrintable("ab=\r\ncd=\nef\r\n"), "abcdef\r\n");
    EXPECT_EQ(DecodeQuotedPrintable("a=3D=3d=C3=A9\r\n"), "a==\xC3\xA9\r\n");
    EXPECT_EQ(DecodeQuotedPrintable("one\ntwo\n"), "one\r\ntwo\r\n");     // bare LF is a line break
    EXPECT_EQ(DecodeQuotedPrintable("pad \t \r\nx=20\r\n"), "pad\r\nx \r\n");  // padding goes, =20 stays
    EXPECT_EQ(DecodeQuotedPrintable("soft= \t\r\nnext"), "softnext");
    EXPECT_EQ(DecodeQuotedPrintable("=G1 =4 a=\xFF b=4"), "=G1 =4 a=\xFF b=4");
    EXPECT_EQ(DecodeQuotedPrintable("end="), "end");
    EXPECT_EQ(DecodeQuotedPrintable("="), "");
    EXPECT_EQ(DecodeQuotedPrintable("=4"), "=4");
    EXPECT_EQ(DecodeQuotedPrintable("no break"), "no break");
}

TEST(CodecsTest, UuencodeRoundTripWithBacktickForZero) {
    for (std::size_t length : {0u, 1u, 2u, 44u, 45u, 46u, 90u, 1000u}) {
        std::string data = AllBytes(length, 3);
        if (length > 10) data.replace(3, 6, std::string(6, '\0'));
        const std::string encoded = EncodeUuencode(data, "data.bin");
        const auto lines = Lines(encoded);
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines.front(), "begin 666 data.bin");
        EXPECT_EQ(lines[lines.size() - 2], "`");
        EXPECT_EQ(lines.back(), "end");
        for (std::size_t i = 1; i + 2 < lines.size(); ++i) {
            EXPECT_EQ(lines[i].find(' '), std::string::npos) << lines[i];  // "`", not a blank, for zero
            EXPECT_EQ(lines[i].size(), 1 + (static_cast<unsigned char>(lines[i][0]) - 32 + 2) / 3 * 4) << lines[i];
            EXPECT_TRUE(i + 3 == lines.size() || lines[i][0] == 'M') << lines[i];
        }
        EXPECT_EQ(DecodeUuencode(encoded), data) << length;
        EXPECT_EQ(DecodeBody("X-UUENCODE", EncodeBody("x-uuencode", data)), data);
    }
}

TEST(CodecsTest, UuencodeDecodeToleratesOldEncodersAndStopsAtEnd) {
    // Text before "begin", bare LF, blanks for zero, and a last group whose trailing blanks a
    // relay stripped: all still decode.
    EXPECT_EQ(DecodeUuencode("hello\nbegin 644 a\n#86)C\n`\nend\n"), "abc");
    EXPECT_EQ(DecodeUuencode("begin 644 a\r\n$86)C    \r\n`\r\nend\r\n"), std::string("abc\0", 4));
    EXPECT_EQ(DecodeUuencode("begin 644 a\r\n$86)C\r\n`\r\nend\r\n"), std::string("abc\0", 4));
    EXPECT_EQ(DecodeUuencode("begin 644 a\r\n!80\r\nend\r\n"), "a");
    EXPECT_EQ(DecodeUuencode("begin 644 a\r\n!80\r\nend\r\n#86)C\r\n"), "a");
    EXPECT_EQ(DecodeUuencode("#86)C\r\n"), "");  // no "begin": no data
    EXPECT_EQ(DecodeUuencode("begin 644 a\r\nM\r\n"), std::string(45, '\0'));  // the count, never more
}

TEST(CodecsTest, EncodedWordsBAndQ) {
    EXPECT_EQ(EncodeWord("UTF-8", EncodedWordTypeB, "Gr\xC3\xBC\xC3\x9F" "e"), "=?UTF-8?B?R3LDvMOfZQ==?=");
    EXPECT_EQ(EncodeWord("ISO-8859-1", EncodedWordTypeQ, "a b_c=d?e\"\xE9"), "=?ISO-8859-1?Q?a_b=5Fc=3Dd=3Fe=22=E9?=");

    const DecodedWord b = DecodeWord("=?UTF-8?B?R3LDvMOfZQ==?=");
    EXPECT_EQ(b.text, "Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(b.charset, "UTF-8");
    EXPECT_EQ(b.type, EncodedWordTypeB);
    const DecodedWord q = DecodeWord("=?iso-8859-1?q?Andr=E9_M=FCller_=5F?=");
    EXPECT_EQ(q.text, "Andr\xE9 M\xFCller _");
    EXPECT_EQ(q.charset, "iso-8859-1");
    EXPECT_EQ(q.type, EncodedWordTypeQ);
    // A blank ending a word is real: long subjects are split into words just after one.
    EXPECT_EQ(DecodeWord("=?UTF-8?Q?Hello_?=").text, "Hello ");
    EXPECT_EQ(DecodeWord("=?UTF-8?Q?__?=").text, "  ");

    for (const std::string& raw : {std::string(""), std::string("plain"), std::string("_ =?\x01\xFF\t", 7), AllBytes(100)}) {
        for (const auto type : {EncodedWordTypeB, EncodedWordTypeQ}) {
            const std::string word = EncodeWord("utf-8", type, raw);
            EXPECT_TRUE(IsEncodedWord(word)) << word;
            EXPECT_EQ(word.find_first_of(" \t\r\n"), std::string::npos) << word;
            EXPECT_EQ(DecodeWord(word).text, raw) << word;
        }
    }
}

TEST(CodecsTest, NotAnEncodedWordGivesEmpty) {
    for (const char* word : {"=?utf-8?X?abc?=", "=?utf-8?B?abc", "utf-8?B?abc?=", "=??B?abc?=", "=?utf-8?B?a?b?=",
                             "=?utf-8?BB?abc?=", "=?u?B?=", "plain", ""}) {
        EXPECT_FALSE(IsEncodedWord(word)) << word;
        const DecodedWord decoded = DecodeWord(word);
        EXPECT_EQ(decoded.text, "") << word;
        EXPECT_EQ(decoded.type, EncodedWordTypeUnknown) << word;
    }
    EXPECT_TRUE(IsEncodedWord("=?x?b?" "?="));  // an empty text is still a word
    EXPECT_EQ(DecodeBody(" BASE64 ", "Zm9v"), "foo");
    EXPECT_EQ(DecodeBody("Quoted-Printable", "a=3D"), "a=");
    EXPECT_EQ(DecodeBody("x-unknown", "=3D Zm9v"), "=3D Zm9v");
}

}  // namespace
}  // namespace pw::mime

namespace pw::mime {
namespace {

TEST(CodecsTest, StrictBase64TakesTheAlphabetOnlyWhereTheLenientReadingSkipsTheRest) {
    EXPECT_EQ(DecodeBase64Strict("AGpvaG4AcGFzcw=="), std::string("\0john\0pass", 10));
    EXPECT_EQ(DecodeBase64Strict("AGpvaG4AcGFzcw"), std::string("\0john\0pass", 10));
    EXPECT_EQ(DecodeBase64Strict(""), std::string());
    for (const std::string_view refused : {"*", "AGpv aG4A", "AGpv\r\naG4A", "QUJDR", "QU=JD"}) {
        EXPECT_EQ(DecodeBase64Strict(refused), std::nullopt) << refused;
    }
    EXPECT_EQ(DecodeBase64("AGpv aG4A\r\n"), std::string("\0john\0", 6));
}

}  // namespace
}  // namespace pw::mime
