// Idna: the two spellings of a domain mapped to one, names that only look encoded, and malformed UTF-8.
#include "platform/Idna.h"

#include <gtest/gtest.h>

namespace pw {
namespace {

TEST(IdnaTest, BothSpellingsAndEveryCaseOfADomainShareOneKey) {
    EXPECT_EQ(DomainToAscii("Bücher.Test"), "xn--bcher-kva.test");
    EXPECT_EQ(DomainToAscii("BÜCHER.test"), "xn--bcher-kva.test");
    EXPECT_EQ(DomainKey("XN--BCHER-KVA.test"), "bücher.test");
    EXPECT_EQ(DomainKey("bÜcher.TEST"), "bücher.test");
    // Decomposed input ("u" and a combining diaeresis) is the same name.
    EXPECT_EQ(DomainKey("bu\xCC\x88" "cher.test"), "bücher.test");
    // Names IDNA does not take stay as the store has always named them.
    EXPECT_EQ(DomainKey("_DMARC.Example.com"), "_dmarc.example.com");
    EXPECT_EQ(DomainToAscii("Example.COM"), "example.com");
}

TEST(IdnaTest, ALabelsThatDoNotRoundTripAndMalformedUtf8AreNoNames) {
    // "xn--abc-" decodes to plain "abc": not an A-label of any name.
    EXPECT_EQ(DomainToUnicode("xn--abc-.test"), std::nullopt);
    EXPECT_EQ(DomainToAscii("xn--abc-.test"), std::nullopt);
    EXPECT_EQ(DomainKey("XN--abc-.test"), "xn--abc-.test");
    EXPECT_EQ(DomainToAscii("b\xFC" "cher.test"), std::nullopt);  // Latin-1, not UTF-8
    EXPECT_TRUE(IsValidUtf8("jörg \xF0\x9F\x93\xA7"));
    EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // an overlong "/"
    EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // a surrogate
    EXPECT_FALSE(IsValidUtf8("j\xC3"));             // cut short
    EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
}

}  // namespace
}  // namespace pw
