// Process: what a child started by RunProgram gets -- /dev/null for input, none of our descriptors --
// and that callers asking for nothing see the child as before.
#include "platform/Process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace pw::platform {
namespace {

TEST(ProcessTest, GivesAChildNullInputAndNoneOfOurDescriptorsWhenAsked) {
    // A descriptor of ours without close-on-exec, as a careless library might leave one.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    const std::string open = "test -e /proc/$$/fd/" + std::to_string(leaked);
    EXPECT_EQ(RunProgram({"sh", "-c", open}, ProgramOptions{}).status, 0);
    ProgramOptions closed;
    closed.closeOtherDescriptors = true;
    EXPECT_EQ(RunProgram({"sh", "-c", open}, closed).status, 1);
    ::close(leaked);

    ProgramOptions quiet;
    quiet.stdinFromNull = true;
    quiet.stdoutToNull = true;
    EXPECT_EQ(RunProgram({"sh", "-c", "test \"$(readlink /proc/$$/fd/0)\" = /dev/null && test \"$(readlink /proc/$$/fd/1)\" = /dev/null"}, quiet).status, 0);
    EXPECT_EQ(RunProgram({"sh", "-c", "exit 3"}, quiet).status, 3);
    EXPECT_EQ(RunProgram({"/no/such/program"}, quiet).status, -1);
}

}  // namespace
}  // namespace pw::platform
