// CommandLine: which switch a command line means.
#include "service/CommandLine.h"

#include <gtest/gtest.h>

#include <vector>

namespace pw::service {
namespace {

CommandSwitch Parse(std::vector<std::string_view> arguments) { return ParseCommandLine(arguments); }

TEST(CommandLineTest, AcceptsDashOrSlashInAnyCase) {
    EXPECT_EQ(Parse({"-RegServer"}), CommandSwitch::RegServer);
    EXPECT_EQ(Parse({"/regserver"}), CommandSwitch::RegServer);
    EXPECT_EQ(Parse({"-UNREGSERVER"}), CommandSwitch::UnregServer);
    EXPECT_EQ(Parse({"/service"}), CommandSwitch::Service);
}

TEST(CommandLineTest, FirstMatchingSwitchDecides) {
    EXPECT_EQ(Parse({"-RegServer", "-Service"}), CommandSwitch::RegServer);
    EXPECT_EQ(Parse({"-Service", "-UnregServer"}), CommandSwitch::Service);
    EXPECT_EQ(Parse({"-Embedding", "junk", "/Service"}), CommandSwitch::Service);
}

TEST(CommandLineTest, EmbeddingIsTheModeOnlyWhenNoCommandIsGiven) {
    EXPECT_EQ(Parse({"junk", "/embedding"}), CommandSwitch::Embedding);
    EXPECT_EQ(Parse({"-Embedding", "-Version"}), CommandSwitch::Version);
}

TEST(CommandLineTest, IgnoresEverythingElse) {
    EXPECT_EQ(Parse({}), CommandSwitch::None);
    EXPECT_EQ(Parse({"RegServer"}), CommandSwitch::None);  // no switch character
    EXPECT_EQ(Parse({"-RegServerX", "--Service", "-", "/"}), CommandSwitch::None);
    EXPECT_EQ(Parse({""}), CommandSwitch::None);
}

}  // namespace
}  // namespace pw::service
