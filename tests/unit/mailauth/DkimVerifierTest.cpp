// DkimVerifierTest: what never reaches libopendkim -- a header field with a NUL byte, which made the
// library read past its buffer -- and what the verifier says instead.
#include "mailauth/DkimVerifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pw::mailauth {
namespace {

TEST(DkimVerifierTest, NulByteInAHeaderFieldIsAPermanentErrorWithoutAKeyLookup) {
    const char raw[] = "DKIM-Signature:v=1;a=rsa-sha256;d=u;s=l;h=from;bh=T;b=3V2\r\nFrom:@f\0xy\r\nTo: a\r\n\r\nbody\r\n";
    const std::string message(raw, sizeof raw - 1);
    const auto* start = reinterpret_cast<const std::byte*>(message.data());
    MemoryStream content(std::vector<std::byte>(start, start + message.size()));
    int lookups = 0;
    const DkimKeyLookup keys = [&lookups](const std::string&, std::string&) {
        ++lookups;
        return KeyLookupStatus::NotFound;
    };
    const auto outcomes = VerifyDkim(keys, content);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes.front().result, DkimResult::PermError);
    EXPECT_EQ(lookups, 0);
}

}  // namespace
}  // namespace pw::mailauth
