// RegistryKeys: where the general values live in a registry file, and their defaults.
#include "core/RegistryKeys.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace pw::core {
namespace {

TEST(RegistryKeysTest, ReadsValuesFromTheirExactKeysWithDefaults) {
    test::ScratchDirectory scratch;
    const std::string path = scratch / "pellworth.reg";
    const Registry registry(path);

    // Nothing there: defaults.
    EXPECT_EQ(ReadLanguage(registry), 9u);
    EXPECT_EQ(ReadMessageStorePath(registry), std::nullopt);
    EXPECT_EQ(ReadDebugSwitch(registry, "NoRouters"), 0u);

    // A file written by hand: the readers find the values under the keys an administrator writes.
    test::WriteFileText(path,
                        "Windows Registry Editor Version 5.00\r\n\r\n"
                        "[HKEY_LOCAL_MACHINE\\Software\\Quillon\\Tessaline\\General]\r\n"
                        "\"Language\"=dword:00000007\r\n\r\n"
                        "[HKEY_LOCAL_MACHINE\\Software\\Quillon\\Tessaline\\Debug]\r\n"
                        "\"NoRouters\"=dword:00000001\r\n\r\n"
                        "[HKEY_LOCAL_MACHINE\\Software\\Quillon\\Tessaline\\Pellworth\\General]\r\n"
                        "\"MessageStore\"=\"/srv/pellworth/store\"\r\n");
    EXPECT_EQ(ReadLanguage(registry), 7u);
    EXPECT_EQ(ReadDebugSwitch(registry, "NoRouters"), 1u);
    EXPECT_EQ(ReadDebugSwitch(registry, "Routers"), 0u);
    EXPECT_EQ(ReadMessageStorePath(registry), "/srv/pellworth/store/");

    // A value under the wrong product is not read.
    test::WriteFileText(path,
                        "Windows Registry Editor Version 5.00\r\n\r\n"
                        "[HKEY_LOCAL_MACHINE\\Software\\Quillon\\Tessaline\\General]\r\n"
                        "\"MessageStore\"=\"/wrong\"\r\n"
                        "[HKEY_LOCAL_MACHINE\\Software\\Quillon\\Tessaline\\Pellworth\\General]\r\n"
                        "\"Language\"=dword:0000000c\r\n");
    EXPECT_EQ(ReadMessageStorePath(registry), std::nullopt);
    EXPECT_EQ(ReadLanguage(registry), 9u);

    // Values written through the registry: the trailing "/" is added once, an empty path is none.
    ASSERT_EQ(registry.SetString(ServerGeneralKey(), "MessageStore", "/var/lib/store/"), S_OK);
    EXPECT_EQ(ReadMessageStorePath(registry), "/var/lib/store/");
    ASSERT_EQ(registry.SetString(ServerGeneralKey(), "MessageStore", ""), S_OK);
    EXPECT_EQ(ReadMessageStorePath(registry), std::nullopt);
    ASSERT_EQ(registry.SetDword(SuiteGeneralKey(), "Language", 10), S_OK);
    EXPECT_EQ(ReadLanguage(registry), 10u);
    ASSERT_EQ(registry.SetDword(DebugKey(), "NoTransports", 0xFFFFFFFF), S_OK);
    EXPECT_EQ(ReadDebugSwitch(registry, "notransports"), 0xFFFFFFFFu);

    EXPECT_EQ(LoggingKey(), "HKEY_LOCAL_MACHINE\\Software\\Quillon\\Tessaline\\Pellworth\\Logging");
}

}  // namespace
}  // namespace pw::core
