// MessageTextWriter: the wire form of stored text does not depend on where the blocks split it.
#include "mime/MessageTextWriter.h"

#include <gtest/gtest.h>

namespace pw::mime {
namespace {

std::string Written(std::string_view stored, std::size_t blockSize, std::optional<long> bodyLines = std::nullopt) {
    MessageTextWriter writer(bodyLines);
    std::string out;
    for (std::size_t at = 0; at < stored.size(); at += blockSize) {
        if (!writer.Take(stored.substr(at, blockSize), out)) break;
    }
    writer.Finish(out);
    return out;
}

TEST(MessageTextWriterTest, EveryLineEndIsCrLfAndLineStartDotsAreDoubledAtAnyBlockSize) {
    const std::string stored = "H: v\r\n\r\n.a\rb\n.c\r\n\r\r\n.\r.\n\n.d";
    const std::string wire = "H: v\r\n\r\n..a\r\nb\r\n..c\r\n\r\n\r\n..\r\n..\r\n\r\n..d\r\n";
    for (std::size_t block = 1; block <= stored.size(); ++block) {
        EXPECT_EQ(Written(stored, block), wire) << "blocks of " << block;
        // TOP: the header, its empty line and the first three body lines, whatever ends them.
        EXPECT_EQ(Written(stored, block, 3), "H: v\r\n\r\n..a\r\nb\r\n..c\r\n") << "blocks of " << block;
    }
    EXPECT_EQ(Written("H: v\r\n\r\nbody", 4, 0), "H: v\r\n\r\n");
    // A header without its empty line still gets one before the (empty) body under a line count.
    EXPECT_EQ(Written("H: v", 4, 2), "H: v\r\n\r\n");
    EXPECT_EQ(Written("", 4), "");
}

}  // namespace
}  // namespace pw::mime
