// DDS sequences. Ownership mistakes (leaked or doubly freed strings) show up under ASan.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dds/dds_sequence.h"
#include "dds/dds_string.h"

namespace {

std::vector<std::string> strings(DDS_StringSeq *seq)
{
    std::vector<std::string> out;
    for (DDS_Long i = 0; i < DDS_StringSeq_get_length(seq); ++i) {
        char *s = *DDS_StringSeq_get_reference(seq, i);
        out.push_back(s ? s : "(null)");
    }
    return out;
}

TEST(StringSeq, ShrinkingDropsOnlyTheCutStrings)
{
    DDS_StringSeq seq = DDS_SEQUENCE_INITIALIZER; // usable without initialize
    ASSERT_TRUE(DDS_StringSeq_ensure_length(&seq, 5, 5));
    for (int i = 0; i < 5; ++i)
        *DDS_StringSeq_get_reference(&seq, i) = DDS_String_dup(("s" + std::to_string(i)).c_str());
    ASSERT_TRUE(DDS_StringSeq_set_maximum(&seq, 2));
    EXPECT_EQ((std::vector<std::string>{"s0", "s1"}), strings(&seq));
    // Shrinking the length frees the dropped string; growing again yields null, not a stale pointer.
    ASSERT_TRUE(DDS_StringSeq_set_length(&seq, 1));
    ASSERT_TRUE(DDS_StringSeq_set_length(&seq, 2));
    EXPECT_EQ((std::vector<std::string>{"s0", "(null)"}), strings(&seq));
    // Growing the maximum keeps the content; ensure_length never lowers it.
    ASSERT_TRUE(DDS_StringSeq_ensure_length(&seq, 3, 50));
    EXPECT_EQ((std::vector<std::string>{"s0", "(null)", "(null)"}), strings(&seq));
    ASSERT_TRUE(DDS_StringSeq_ensure_length(&seq, 1, 10));
    EXPECT_EQ(50, DDS_StringSeq_get_maximum(&seq));
    // A maximum of zero frees everything.
    ASSERT_TRUE(DDS_StringSeq_set_maximum(&seq, 0));
    EXPECT_EQ(nullptr, seq._contiguous_buffer);
    EXPECT_EQ(0, DDS_StringSeq_get_length(&seq));
    EXPECT_TRUE(DDS_StringSeq_finalize(&seq));
}

TEST(LongSeq, BoundsAndBadArguments)
{
    DDS_LongSeq seq;
    DDS_LongSeq_initialize(&seq);
    ASSERT_TRUE(DDS_LongSeq_ensure_length(&seq, 3, 8));
    for (DDS_Long i = 0; i < 3; ++i) {
        EXPECT_EQ(0, *DDS_LongSeq_get_reference(&seq, i));
        *DDS_LongSeq_get_reference(&seq, i) = 10 * (i + 1);
    }
    for (DDS_Long i : {-1, 3, 7, 8, 1 << 30})
        EXPECT_EQ(nullptr, DDS_LongSeq_get_reference(&seq, i)) << i;
    const DDS_Long badEnsure[][2] = {{5, 4}, {-1, 4}, {0, -1}}; // {length, max}
    for (const auto &c : badEnsure)
        EXPECT_FALSE(DDS_LongSeq_ensure_length(&seq, c[0], c[1]));
    EXPECT_FALSE(DDS_LongSeq_set_length(&seq, 9));
    EXPECT_FALSE(DDS_LongSeq_set_length(&seq, -1));
    EXPECT_FALSE(DDS_LongSeq_set_maximum(&seq, -1));
    EXPECT_EQ(3, DDS_LongSeq_get_length(&seq)); // failures left it alone
    EXPECT_EQ(20, *DDS_LongSeq_get_reference(&seq, 1));
    EXPECT_TRUE(DDS_LongSeq_finalize(&seq));
}

TEST(Sequence, LoanedBuffersAreNeverResizedOrFreed)
{
    DDS_Long storage[4] = {1, 2, 3, 4};
    DDS_LongSeq seq;
    DDS_LongSeq_initialize(&seq);
    ASSERT_TRUE(DDS_LongSeq_loan_contiguous(&seq, storage, 2, 4));
    EXPECT_EQ(&storage[1], DDS_LongSeq_get_reference(&seq, 1));
    EXPECT_EQ(nullptr, DDS_LongSeq_get_reference(&seq, 2));
    EXPECT_FALSE(DDS_LongSeq_ensure_length(&seq, 1, 4));
    EXPECT_FALSE(DDS_LongSeq_set_maximum(&seq, 8));
    EXPECT_FALSE(DDS_LongSeq_set_maximum(&seq, 0));
    EXPECT_FALSE(DDS_LongSeq_finalize(&seq));
    EXPECT_FALSE(DDS_LongSeq_loan_contiguous(&seq, storage, 1, 4)); // already loaned
    // Length moves within the loan without touching the caller's elements.
    EXPECT_FALSE(DDS_LongSeq_set_length(&seq, 5));
    ASSERT_TRUE(DDS_LongSeq_set_length(&seq, 4));
    EXPECT_EQ(4, *DDS_LongSeq_get_reference(&seq, 3));
    ASSERT_TRUE(DDS_LongSeq_set_length(&seq, 0));
    EXPECT_EQ(3, storage[2]);
    ASSERT_TRUE(DDS_LongSeq_unloan(&seq));
    EXPECT_FALSE(DDS_LongSeq_unloan(&seq));
    EXPECT_EQ(nullptr, seq._contiguous_buffer);
    EXPECT_EQ(0, DDS_LongSeq_get_maximum(&seq));
    // After unloan it is an ordinary owning sequence again.
    ASSERT_TRUE(DDS_LongSeq_ensure_length(&seq, 2, 2));
    EXPECT_NE(storage, seq._contiguous_buffer);
    EXPECT_FALSE(DDS_LongSeq_loan_contiguous(&seq, storage, 1, 4)); // has its own buffer
    EXPECT_TRUE(DDS_LongSeq_finalize(&seq));
    const struct { DDS_Long length, max; bool nullBuffer; } badLoans[] = {{3, 2, false}, {-1, 2, false}, {0, -1, false}, {0, 2, true}};
    for (const auto &c : badLoans) {
        EXPECT_FALSE(DDS_LongSeq_loan_contiguous(&seq, c.nullBuffer ? nullptr : storage, c.length, c.max));
        EXPECT_FALSE(seq._loaned);
    }

    // Loaned strings, not from DDS_String_alloc, stay with the lender: freeing them is an ASan error.
    char a[] = "a", b[] = "b";
    char *texts[2] = {a, b};
    DDS_StringSeq strs = DDS_SEQUENCE_INITIALIZER;
    ASSERT_TRUE(DDS_StringSeq_loan_contiguous(&strs, texts, 2, 2));
    ASSERT_TRUE(DDS_StringSeq_set_length(&strs, 0));
    ASSERT_TRUE(DDS_StringSeq_unloan(&strs));
    EXPECT_EQ(a, texts[0]);
    EXPECT_EQ(b, texts[1]);
    EXPECT_TRUE(DDS_StringSeq_finalize(&strs));
}

} // namespace
