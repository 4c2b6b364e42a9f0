// MtaStsPolicyTest: what a policy file and a record must hold to count, and which exchangers a
// policy allows -- "*." is one label, never more.
#include "mailauth/MtaStsPolicy.h"

#include <gtest/gtest.h>

namespace pw::mailauth {
namespace {

TEST(MtaStsPolicyTest, PolicyNeedsVersionModeAndAgeAndWildcardsCoverOneLabel) {
    const auto policy = ParseMtaStsPolicy("version: STSv1\r\nmode: enforce\r\nmx: mail.example.com\nmx: *.Example.net\r\nmax_age: 4000000000\r\n");
    ASSERT_TRUE(policy);
    EXPECT_EQ(policy->mode, MtaStsMode::Enforce);
    EXPECT_EQ(policy->maxAge, kMaxMtaStsAge);
    EXPECT_TRUE(policy->Allows("MAIL.example.com."));
    EXPECT_TRUE(policy->Allows("mx1.example.net"));
    EXPECT_FALSE(policy->Allows("a.mx1.example.net"));
    EXPECT_FALSE(policy->Allows("example.net"));
    EXPECT_FALSE(policy->Allows("other.example.com"));
    EXPECT_FALSE(ParseMtaStsPolicy("version: STSv1\nmode: enforce\nmax_age: 600\n"));             // enforce without mx
    EXPECT_FALSE(ParseMtaStsPolicy("version: STSv2\nmode: enforce\nmx: a.b\nmax_age: 600\n"));    // unknown version
    EXPECT_FALSE(ParseMtaStsPolicy("version: STSv1\nmode: strict\nmx: a.b\nmax_age: 600\n"));     // unknown mode
    EXPECT_FALSE(ParseMtaStsPolicy("version: STSv1\nmode: testing\nmx: a.b\n"));                  // no max_age
    EXPECT_EQ(ParseMtaStsRecord("v=STSv1; id=20261210T1;"), "20261210T1");
    EXPECT_FALSE(ParseMtaStsRecord("id=1; v=STSv1"));
    EXPECT_FALSE(ParseMtaStsRecord("v=STSv1; id=bad-id"));
}

}  // namespace
}  // namespace pw::mailauth
