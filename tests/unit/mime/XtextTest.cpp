// Xtext: what ENVID and ORCPT carry -- decoded only when well formed, never into a line break.
#include "mime/Xtext.h"

#include <gtest/gtest.h>

namespace pw::mime {
namespace {

TEST(XtextTest, DecodesWellFormedTextOnlyAndRoundTripsEveryByte) {
    EXPECT_EQ(DecodeXtext("anna+40old.test"), "anna@old.test");
    EXPECT_EQ(DecodeXtext("env+2B1"), "env+1");
    for (const char* bad : {"a+2b", "a+", "a+4", "a+G0", "a=b", "a b", "+0D+0A", "a+00", "\xC3\xB6"}) {
        EXPECT_EQ(DecodeXtext(bad), std::nullopt) << bad;
    }
    const std::string any = "a+b=c\x01 \xC3\xB6~";
    EXPECT_EQ(EncodeXtext(any), "a+2Bb+3Dc+01+20+C3+B6~");
    EXPECT_EQ(DecodeXtext(EncodeXtext(any)), any);
}

}  // namespace
}  // namespace pw::mime
