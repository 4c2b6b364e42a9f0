// The delivery target of an "_Out" folder: DNS is asked for an internationalised domain by its ASCII form.
#include "smtp/Transport.h"

#include <gtest/gtest.h>

#include "core/ConfigTree.h"

namespace pw::smtp {
namespace {

TEST(DeliveryTargetTest, AnInternationalisedDomainIsLookedUpByItsAsciiForm) {
    core::ConfigTree config;
    EXPECT_EQ(MakeDeliveryTarget(config, "bücher.test").destination, "xn--bcher-kva.test");
    EXPECT_EQ(MakeDeliveryTarget(config, "plain.test").destination, "plain.test");
    config.Set("sys:delivery:useremote", Variant::Switch(true));
    config.Set("sys:delivery:server", Variant::Text("127.0.0.1"));
    EXPECT_EQ(MakeDeliveryTarget(config, "bücher.test").destination, "127.0.0.1");
}

}  // namespace
}  // namespace pw::smtp
