// The listing buffer: order, selection, emptying, its capacity, and the lines' own bytes.
#include <gtest/gtest.h>

#include "listing/listing_buffer.h"
#include "runtime/runtime_services.h"

namespace quorvale::test {
namespace {

using listing::ListingBuffer;

TEST(ListingBuffer, KeepsLinesInOrderAndSelectsByIndex) {
    ListingBuffer buffer;
    EXPECT_EQ(buffer.ListCount(), 0);
    EXPECT_EQ(buffer.ListIndex(), ListingBuffer::kNoSelection);
    EXPECT_EQ(buffer.Text(), "");
    buffer.AddItem("");
    buffer.AddItem("\t/home/a b");
    buffer.AddItem("\t\tname without extension");
    EXPECT_EQ(buffer.ListCount(), 3);
    buffer.SetListIndex(1);
    EXPECT_EQ(buffer.Text(), "\t/home/a b");
    buffer.SetListIndex(0);
    EXPECT_EQ(buffer.Text(), "");
    EXPECT_THROW(buffer.SetListIndex(3), runtime::RuntimeError);
    EXPECT_THROW(buffer.SetListIndex(-2), runtime::RuntimeError);
}

TEST(ListingBuffer, ClearEmptiesItAndTheNextLineIsLineZero) {
    ListingBuffer buffer;
    buffer.AddItem("a");
    buffer.SetListIndex(0);
    const auto generation = buffer.Generation();
    buffer.Clear();
    EXPECT_EQ(buffer.ListCount(), 0);
    EXPECT_EQ(buffer.ListIndex(), ListingBuffer::kNoSelection);
    EXPECT_NE(buffer.Generation(), generation);
    buffer.AddItem("b");
    buffer.SetListIndex(0);
    EXPECT_EQ(buffer.Text(), "b");
}

TEST(ListingBuffer, FailsInOrderAtItsCapacity) {
    ListingBuffer buffer;
    for (int i = 0; i < ListingBuffer::kCapacity; ++i) buffer.AddItem("x");
    EXPECT_EQ(buffer.ListCount(), 32767);
    try {
        buffer.AddItem("one too many");
        FAIL() << "the 32768th line must be refused";
    } catch (const runtime::RuntimeError& e) {
        EXPECT_EQ(e.Number(), runtime::Overflow);
    }
    EXPECT_EQ(buffer.ListCount(), 32767);
    buffer.SetListIndex(32766);
    EXPECT_EQ(buffer.Text(), "x");
}

TEST(ListingBuffer, KeepsBytesThatAreNotUtf8) {
    ListingBuffer buffer;
    const std::string latin1 = "\t\tna\xEFve caf\xE9";
    buffer.AddItem(latin1);
    buffer.AddItem(std::string("nul\0inside", 10));
    EXPECT_EQ(buffer.Line(0), latin1);
    EXPECT_EQ(buffer.Line(1).size(), 10u);
}

TEST(ListingBuffer, CountDisplayShowsWhatItIsGiven) {
    ListingBuffer buffer;
    buffer.SetCountCaption("32000");
    EXPECT_EQ(buffer.CountCaption(), "32000");
    buffer.SetCountCaption("");
    EXPECT_EQ(buffer.CountCaption(), "");
}

}  // namespace
}  // namespace quorvale::test
