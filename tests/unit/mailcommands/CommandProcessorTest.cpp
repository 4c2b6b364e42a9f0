#include "mailcommands/CommandProcessor.h"

#include <gtest/gtest.h>

namespace pw::mailcommands {
namespace {

TEST(ReadCommands, LimitsHoldToTheByte) {
    EXPECT_TRUE(ReadCommands(std::string(kMaxCommandLines, '\n')).refusal.empty());
    EXPECT_FALSE(ReadCommands(std::string(kMaxCommandLines + 1, '\n')).refusal.empty());
    EXPECT_TRUE(ReadCommands("set STR ml.signature " + std::string(kMaxValueBytes, 'x')).refusal.empty());
    EXPECT_FALSE(ReadCommands("set STR ml.signature\n" + std::string(kMaxValueBytes / 2, 'x') + "\n" +
                              std::string(kMaxValueBytes / 2, 'x') + "\n.\n").refusal.empty());
    EXPECT_FALSE(ReadCommands(std::string(kMaxCommandTextBytes + 1, ' ')).refusal.empty());
}

}  // namespace
}  // namespace pw::mailcommands
