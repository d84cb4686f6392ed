// The listing buffer: order, emptying, its capacity, and the lines' own bytes.
#include <gtest/gtest.h>

#include "listing/listing_buffer.h"
#include "runtime/runtime_error.h"

namespace quorvale::test {
namespace {

using listing::ListingBuffer;

TEST(ListingBuffer, KeepsLinesInOrderAndEmptiesToLineZero) {
    ListingBuffer buffer;
    EXPECT_EQ(buffer.ListCount(), 0);
    buffer.AddItem("");
    buffer.AddItem("\t/home/a b");
    buffer.AddItem("\t\tname without extension");
    EXPECT_EQ(buffer.ListCount(), 3);
    EXPECT_EQ(buffer.Line(0), "");
    EXPECT_EQ(buffer.Line(1), "\t/home/a b");
    EXPECT_EQ(buffer.Line(2), "\t\tname without extension");

    const auto generation = buffer.Generation();
    buffer.Clear();
    EXPECT_EQ(buffer.ListCount(), 0);
    EXPECT_NE(buffer.Generation(), generation);
    buffer.AddItem("b");
    EXPECT_EQ(buffer.Line(0), "b");
}

TEST(ListingBuffer, FailsInOrderAtItsCapacity) {
    ListingBuffer buffer;
    for (int i = 0; i < ListingBuffer::kCapacity; ++i) buffer.AddItem("x" + std::to_string(i));
    EXPECT_EQ(buffer.ListCount(), 32767);
    try {
        buffer.AddItem("one too many");
        FAIL() << "the 32768th line must be refused";
    } catch (const runtime::RuntimeError& e) {
        EXPECT_EQ(e.Number(), runtime::Overflow);
    }
    EXPECT_EQ(buffer.ListCount(), 32767);
    EXPECT_EQ(buffer.Line(32766), "x32766");
}

TEST(ListingBuffer, KeepsBytesThatAreNotUtf8) {
    ListingBuffer buffer;
    const std::string latin1 = "\t\tna\xEFve caf\xE9";
    buffer.AddItem(latin1);
    buffer.AddItem(std::string("nul\0inside", 10));
    EXPECT_EQ(buffer.Line(0), latin1);
    EXPECT_EQ(buffer.Line(1).size(), 10u);
}

}  // namespace
}  // namespace quorvale::test
