// DynamicData access by name and id: kinds, paths, bounds, unions, optionals, binding. The types
// are those of data/dynamicdata/all.xml.
#include "dds/dds_dynamicdata.h"
#include "dds/dds_string.h"

#include "support/support.h"
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

std::string rc(DDS_ReturnCode_t r) { return "rc " + std::to_string(r); }

class DynamicDataTest : public ::testing::Test {
  protected:
    std::unique_ptr<DDS_TypeLibrary, void (*)(DDS_TypeLibrary *)> lib{DDS_TypeLibrary_new(), DDS_TypeLibrary_delete};
    const DDS_TypeCode *all = nullptr;
    DDS_DynamicData *d = nullptr;
    void SetUp() override
    {
        ASSERT_EQ(DDS_TypeLibrary_load_file(lib.get(), (QUELT_TEST_DATA + "/dynamicdata/all.xml").c_str()), DDS_RETCODE_OK);
        all = DDS_TypeLibrary_find(lib.get(), "All");
        d = DDS_DynamicData_new(all, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
        ASSERT_NE(d, nullptr);
    }
    void TearDown() override { DDS_DynamicData_delete(d); }
    // What a getter gives, as text: the value, or "rc N".
    std::string lng(const char *path, const DDS_DynamicData *from = nullptr)
    {
        DDS_Long v = 0;
        const DDS_ReturnCode_t r = DDS_DynamicData_get_long(from ? from : d, &v, path, 0);
        return r ? rc(r) : std::to_string(v);
    }
    std::string str(const char *path)
    {
        char *s = nullptr;
        DDS_UnsignedLong size = 0;
        const DDS_ReturnCode_t r = DDS_DynamicData_get_string(d, &s, &size, path, 0);
        const std::string out = r ? rc(r) : s;
        DDS_String_free(s);
        return out;
    }
    // "name:kind", then " of ELEMENT COUNT" for a collection and " absent" for what is not there.
    std::string info(const char *path, DDS_DynamicDataMemberId id = 0)
    {
        static const char *const kinds[] = {"null", "short", "long", "ushort", "ulong", "float", "double", "boolean",
                                            "char", "octet", "struct", "union", "enum", "string", "sequence", "array"};
        DDS_DynamicDataMemberInfo i;
        const DDS_ReturnCode_t r = DDS_DynamicData_get_member_info(d, &i, path, id);
        if (r)
            return rc(r);
        std::string out = std::string(i.member_name ? i.member_name : "(null)") + ":" + kinds[i.member_kind];
        if (i.member_kind == DDS_TK_SEQUENCE || i.member_kind == DDS_TK_ARRAY)
            out += std::string(" of ") + kinds[i.element_kind] + " " + std::to_string(i.element_count);
        return out + (i.member_exists ? "" : " absent");
    }
};

// Set by name, read back by name with the getter of the same kind.
#define ROUND_TRIP(T, kind, name, in, want)                                                                                \
    do {                                                                                                                   \
        T out{}, w = want;                                                                                                 \
        ASSERT_EQ(DDS_DynamicData_set_##kind(d, name, 0, in), DDS_RETCODE_OK) << name;                                     \
        ASSERT_EQ(DDS_DynamicData_get_##kind(d, &out, name, 0), DDS_RETCODE_OK) << name;                                   \
        EXPECT_EQ(std::memcmp(&out, &w, sizeof out), 0) << name;                                                           \
    } while (0)

TEST_F(DynamicDataTest, EveryPrimitiveKindRoundTripsAndWidensOnlyWithoutLoss)
{
    ROUND_TRIP(DDS_Short, short, "i16", -32768, -32768);
    ROUND_TRIP(DDS_Long, long, "i32", INT32_MIN, INT32_MIN);
    ROUND_TRIP(DDS_UnsignedShort, ushort, "u16", 65535, 65535);
    ROUND_TRIP(DDS_UnsignedLong, ulong, "u32", UINT32_MAX, UINT32_MAX);
    ROUND_TRIP(DDS_Float, float, "f32", 1.5f, 1.5f);
    ROUND_TRIP(DDS_Double, double, "f64", -2.25, -2.25);
    ROUND_TRIP(DDS_Boolean, boolean, "b", 7, 1); // any non-zero is true
    ROUND_TRIP(DDS_Char, char, "ch", 'z', 'z');
    ROUND_TRIP(DDS_Octet, octet, "o", 255, 255);
    ROUND_TRIP(DDS_LongLong, longlong, "i64", INT64_MIN, INT64_MIN);
    ROUND_TRIP(DDS_UnsignedLongLong, ulonglong, "u64", UINT64_MAX, UINT64_MAX);
    DDS_LongDouble ld{};
    ld.bytes[0] = 9;
    ld.bytes[15] = 7;
    ROUND_TRIP(DDS_LongDouble, longdouble, "f128", ld, ld);
    ROUND_TRIP(DDS_Wchar, wchar, "wc", 0x263A, 0x263A);

    // Setters want the member's exact kind; getters may widen without loss, never narrow.
    EXPECT_EQ(DDS_DynamicData_set_long(d, "i16", 0, 1), DDS_RETCODE_BAD_PARAMETER);
    EXPECT_EQ(DDS_DynamicData_set_double(d, "f32", 0, 1), DDS_RETCODE_BAD_PARAMETER);
    EXPECT_EQ(DDS_DynamicData_set_string(d, "i32", 0, "1"), DDS_RETCODE_BAD_PARAMETER);
    EXPECT_EQ(DDS_DynamicData_set_long(d, "m", 0, 1), DDS_RETCODE_BAD_PARAMETER);
    ASSERT_EQ(DDS_DynamicData_set_short(d, "i16", 0, -5), DDS_RETCODE_OK);
    EXPECT_EQ(lng("i16"), "-5");
    DDS_LongLong ll = 0;
    DDS_Double db = 0;
    DDS_Short s = 0;
    EXPECT_EQ(DDS_DynamicData_get_longlong(d, &ll, "i16", 0), DDS_RETCODE_OK);
    EXPECT_EQ(ll, -5);
    EXPECT_EQ(DDS_DynamicData_get_double(d, &db, "i16", 0), DDS_RETCODE_OK);
    EXPECT_EQ(db, -5.0);
    EXPECT_EQ(DDS_DynamicData_get_short(d, &s, "i32", 0), DDS_RETCODE_BAD_PARAMETER);
    EXPECT_EQ(lng("u32"), rc(DDS_RETCODE_BAD_PARAMETER)); // uint32 into int32
    EXPECT_EQ(lng("str"), rc(DDS_RETCODE_BAD_PARAMETER));
}

TEST_F(DynamicDataTest, BadNamesAreRefused)
{
    for (const char *name : {"nope", "", "i32.", ".i32", "i32..x", "m..i", "m.i.", "m.nope", "i32[1]", "bseq[0]", "bseq[x]",
                             "bseq[1", "bseq[-1]", "m.arr[3][1]", "m.arr[1][4]", "m.arr[7]", "m.arr[1][1][1]", "u.zz",
                             "bseq[99999999999]"}) {
        EXPECT_EQ(lng(name).rfind("rc ", 0), 0u) << name;
        EXPECT_NE(DDS_DynamicData_set_long(d, name, 0, 1), DDS_RETCODE_OK) << name;
    }
}

TEST_F(DynamicDataTest, NestedMembersArraysAndSequences)
{
    ASSERT_EQ(DDS_DynamicData_set_long(d, "m.i.c", 0, 42), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_string(d, "m.i.label", 0, "12345678"), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_DynamicData_set_string(d, "m.i.label", 0, "123456789"), DDS_RETCODE_BAD_PARAMETER); // over the bound
    EXPECT_EQ(str("m.i.label"), "12345678");
    EXPECT_EQ(lng("m.i.c"), "42");
    // arr is int16[2][3]: [r][c] row-major, the same element as flat index (r-1)*3+c.
    DDS_Short s = 0;
    ASSERT_EQ(DDS_DynamicData_set_short(d, "m.arr[2][1]", 0, 7), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_get_short(d, &s, "m.arr[4]", 0), DDS_RETCODE_OK);
    EXPECT_EQ(s, 7);
    ASSERT_EQ(DDS_DynamicData_set_short(d, "m.arr[6]", 0, 9), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_get_short(d, &s, "m.arr[2][3]", 0), DDS_RETCODE_OK);
    EXPECT_EQ(s, 9);
    EXPECT_EQ(info("m.arr#"), "arr:array of short 6");
    EXPECT_EQ(info("m"), "m:struct");

    // Sequences grow on a set within their bound, the elements before it zero.
    EXPECT_EQ(info("bseq#"), "bseq:sequence of long 0");
    EXPECT_EQ(lng("bseq[1]"), rc(DDS_RETCODE_BAD_PARAMETER)); // past the length
    ASSERT_EQ(DDS_DynamicData_set_long(d, "bseq[2]", 0, 5), DDS_RETCODE_OK);
    EXPECT_EQ(info("bseq#"), "bseq:sequence of long 2");
    EXPECT_EQ(lng("bseq[1]"), "0");
    EXPECT_EQ(lng("bseq[2]"), "5");
    EXPECT_EQ(DDS_DynamicData_set_long(d, "bseq[4]", 0, 1), DDS_RETCODE_BAD_PARAMETER); // bound 3
    ASSERT_EQ(DDS_DynamicData_set_long(d, "bseq[3]", 0, 1), DDS_RETCODE_OK);
    // Sequences of structs: growth initializes the new elements, strings included.
    ASSERT_EQ(DDS_DynamicData_set_string(d, "iseq[3].label", 0, "x"), DDS_RETCODE_OK);
    EXPECT_EQ(str("iseq[1].label"), "");
    EXPECT_EQ(str("iseq[3].label"), "x");
    // Info past the length answers with the element type (how a JSON reader learns what to set).
    EXPECT_EQ(info("iseq[9]"), ":struct absent");
    // An unbounded sequence grows by at most 2^20 elements in one set (a mistyped index would
    // allocate gigabytes).
    EXPECT_EQ(DDS_DynamicData_set_string(d, "iseq[1048580].label", 0, "x"), DDS_RETCODE_BAD_PARAMETER); // 3 + 2^20 + 1
    ASSERT_EQ(DDS_DynamicData_set_string(d, "iseq[1048579].label", 0, "y"), DDS_RETCODE_OK);            // 3 + 2^20
    EXPECT_EQ(str("iseq[1048579].label"), "y");
}

TEST_F(DynamicDataTest, EnumsUnionsOptionalsAliasesKeysAndIds)
{
    EXPECT_EQ(lng("col"), "1"); // the first enumerator, not 0
    EXPECT_EQ(DDS_DynamicData_set_long(d, "col", 0, 4), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_DynamicData_set_long(d, "col", 0, 3), DDS_RETCODE_BAD_PARAMETER);
    EXPECT_EQ(lng("col"), "4");
    EXPECT_EQ(info("col"), "col:enum");

    // Discriminator 0 matches no label: the default case is selected; a set selects its case.
    EXPECT_EQ(info("u#"), "d:union");
    EXPECT_EQ(lng("u.a"), rc(DDS_RETCODE_NO_DATA));
    ASSERT_EQ(DDS_DynamicData_set_string(d, "u.s", 0, "hello"), DDS_RETCODE_OK);
    EXPECT_EQ(info("u#"), "s:union");
    EXPECT_EQ(str("u.s"), "hello");
    ASSERT_EQ(DDS_DynamicData_set_long(d, "u.a", 0, 9), DDS_RETCODE_OK); // frees the string (ASan)
    EXPECT_EQ(info("u#"), "a:union");
    EXPECT_EQ(lng("u.a"), "9");
    EXPECT_EQ(str("u.s"), rc(DDS_RETCODE_NO_DATA));
    // The default case takes a discriminator no label names.
    ASSERT_EQ(DDS_DynamicData_set_double(d, "u.d", 0, 1.0), DDS_RETCODE_OK);
    EXPECT_EQ(info("u#"), "d:union");

    EXPECT_EQ(lng("opt"), rc(DDS_RETCODE_NO_DATA));
    EXPECT_EQ(lng("oin.c"), rc(DDS_RETCODE_NO_DATA));
    EXPECT_EQ(info("opt"), "opt:long absent");
    ASSERT_EQ(DDS_DynamicData_set_string(d, "oin.label", 0, "abc"), DDS_RETCODE_OK);
    EXPECT_EQ(lng("oin.c"), "0");
    ASSERT_EQ(DDS_DynamicData_clear_optional_member(d, "oin", 0), DDS_RETCODE_OK); // frees the label (ASan)
    EXPECT_EQ(lng("oin.c"), rc(DDS_RETCODE_NO_DATA));
    ASSERT_EQ(DDS_DynamicData_set_long(d, "opt", 0, 3), DDS_RETCODE_OK);
    EXPECT_EQ(lng("opt"), "3");
    EXPECT_EQ(DDS_DynamicData_clear_optional_member(d, "i32", 0), DDS_RETCODE_PRECONDITION_NOT_MET); // not optional
    EXPECT_EQ(DDS_DynamicData_clear_optional_member(d, "nope", 0), DDS_RETCODE_BAD_PARAMETER);

    ASSERT_EQ(DDS_DynamicData_set_ulong(d, "cnt", 0, 12), DDS_RETCODE_OK);
    EXPECT_EQ(info("cnt"), "cnt:ulong"); // the alias is seen through
    EXPECT_TRUE(DDS_DynamicData_is_member_key(d, "id", 0));
    EXPECT_FALSE(DDS_DynamicData_is_member_key(d, "cnt", 0));
    // Member id i is member i, counting from 1.
    ASSERT_EQ(DDS_DynamicData_set_long(d, nullptr, 2, 77), DDS_RETCODE_OK);
    EXPECT_EQ(lng("i32"), "77");
    EXPECT_EQ(info(nullptr, 2), "i32:long");
    DDS_DynamicDataMemberInfo i;
    ASSERT_EQ(DDS_DynamicData_get_member_info(d, &i, nullptr, 2), DDS_RETCODE_OK);
    EXPECT_EQ(i.member_id, 2u);
    EXPECT_EQ(info(nullptr, 0), rc(DDS_RETCODE_BAD_PARAMETER));
    EXPECT_EQ(info(nullptr, 999), rc(DDS_RETCODE_BAD_PARAMETER));
}

TEST_F(DynamicDataTest, LongStringsNeedABiggerBuffer)
{
    const std::string big(300, 'q');
    ASSERT_EQ(DDS_DynamicData_set_string(d, "str", 0, big.c_str()), DDS_RETCODE_OK);
    char buf[128];
    char *p = buf;
    DDS_UnsignedLong size = sizeof buf;
    EXPECT_EQ(DDS_DynamicData_get_string(d, &p, &size, "str", 0), DDS_RETCODE_OUT_OF_RESOURCES);
    EXPECT_EQ(size, 301u);
    char *heap = DDS_String_alloc(size);
    ASSERT_EQ(DDS_DynamicData_get_string(d, &heap, &size, "str", 0), DDS_RETCODE_OK);
    EXPECT_EQ(big, heap);
    DDS_String_free(heap);

    const DDS_Wchar w[] = {'a', 0xD83D, 0xDE00, 'b', 0};
    ASSERT_EQ(DDS_DynamicData_set_wstring(d, "wstr", 0, w), DDS_RETCODE_OK);
    const DDS_Wchar w5[] = {'a', 'b', 'c', 'd', 'e', 0};
    EXPECT_EQ(DDS_DynamicData_set_wstring(d, "wstr", 0, w5), DDS_RETCODE_BAD_PARAMETER); // bound 4
    DDS_Wchar *wout = nullptr;
    DDS_UnsignedLong wsize = 0;
    ASSERT_EQ(DDS_DynamicData_get_wstring(d, &wout, &wsize, "wstr", 0), DDS_RETCODE_OK);
    EXPECT_EQ(wsize, 5u);
    EXPECT_EQ(std::memcmp(w, wout, sizeof w), 0);
    DDS_Wstring_free(wout);
}

TEST_F(DynamicDataTest, BindingLocksTheParentUntilUnbound)
{
    DDS_DynamicData *m = DDS_DynamicData_new(nullptr, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
    ASSERT_EQ(DDS_DynamicData_bind_complex_member(d, m, "m", 0), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_DynamicData_set_long(m, "i.c", 0, 5), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_DynamicData_set_long(d, "i32", 0, 5), DDS_RETCODE_PRECONDITION_NOT_MET);
    DDS_DynamicData *other = DDS_DynamicData_new(nullptr, nullptr);
    EXPECT_EQ(DDS_DynamicData_bind_complex_member(d, other, "iseq", 0), DDS_RETCODE_PRECONDITION_NOT_MET);
    EXPECT_EQ(DDS_DynamicData_bind_complex_member(d, other, "i32", 0), DDS_RETCODE_PRECONDITION_NOT_MET);
    EXPECT_EQ(DDS_DynamicData_unbind_complex_member(d, other), DDS_RETCODE_PRECONDITION_NOT_MET);
    ASSERT_EQ(DDS_DynamicData_unbind_complex_member(d, m), DDS_RETCODE_OK);
    EXPECT_EQ(lng("m.i.c"), "5");
    EXPECT_EQ(DDS_DynamicData_bind_complex_member(d, other, "i32", 0), DDS_RETCODE_BAD_PARAMETER); // not complex

    // A sequence bound by name is then addressed by element id; binding an element past the end grows it.
    ASSERT_EQ(DDS_DynamicData_bind_complex_member(d, m, "iseq", 0), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_bind_complex_member(m, other, nullptr, 2), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_DynamicData_set_long(other, "c", 0, 8), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_DynamicData_unbind_complex_member(m, other), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_long(m, nullptr, 1, 0), DDS_RETCODE_BAD_PARAMETER); // element 1 is a struct
    EXPECT_EQ(DDS_DynamicData_get_member_count(m), 2u);
    EXPECT_EQ(DDS_DynamicData_unbind_complex_member(d, m), DDS_RETCODE_OK);
    EXPECT_EQ(lng("iseq[2].c"), "8");
    DDS_DynamicData_delete(other);
    DDS_DynamicData_delete(m);
}

TEST_F(DynamicDataTest, CopyEqualClearAndLifecycle)
{
    ASSERT_EQ(DDS_DynamicData_set_string(d, "iseq[2].label", 0, "ab"), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_string(d, "u.s", 0, "in union"), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_long(d, "oin.c", 0, 4), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_string(d, "id", 0, "key"), DDS_RETCODE_OK);
    DDS_DynamicData *e = DDS_DynamicData_new(all, nullptr), *fresh = DDS_DynamicData_new(all, nullptr);
    EXPECT_FALSE(DDS_DynamicData_equal(d, e));
    ASSERT_EQ(DDS_DynamicData_copy(e, d), DDS_RETCODE_OK);
    EXPECT_TRUE(DDS_DynamicData_equal(d, e));
    ASSERT_EQ(DDS_DynamicData_set_char(e, "iseq[2].label", 0, 'x'), DDS_RETCODE_BAD_PARAMETER);
    ASSERT_EQ(DDS_DynamicData_set_string(e, "iseq[2].label", 0, "ax"), DDS_RETCODE_OK);
    EXPECT_FALSE(DDS_DynamicData_equal(d, e));
    // Copying the other way over a value with heap parts releases them (ASan checks).
    ASSERT_EQ(DDS_DynamicData_clear_all_members(d), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_copy(e, d), DDS_RETCODE_OK);
    EXPECT_TRUE(DDS_DynamicData_equal(d, e));
    EXPECT_TRUE(DDS_DynamicData_equal(d, fresh));
    DDS_DynamicData_delete(e);
    DDS_DynamicData_delete(fresh);

    // In caller memory, and of another type: a copy between types is refused.
    alignas(8) unsigned char storage[256];
    ASSERT_GE(sizeof storage, DDS_DynamicData_sizeof());
    auto *mid = reinterpret_cast<DDS_DynamicData *>(storage);
    ASSERT_TRUE(DDS_DynamicData_initialize(mid, DDS_TypeLibrary_find(lib.get(), "Mod::Mid"), nullptr));
    EXPECT_EQ(DDS_DynamicData_get_type_kind(mid), DDS_TK_STRUCT);
    EXPECT_EQ(DDS_DynamicData_get_member_count(mid), 2u);
    EXPECT_EQ(DDS_DynamicData_set_string(mid, "i.label", 0, "a"), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_DynamicData_copy(mid, d), DDS_RETCODE_BAD_PARAMETER);
    EXPECT_TRUE(DDS_DynamicData_finalize(mid));
    // Without a type nothing can be addressed.
    DDS_DynamicData *empty = DDS_DynamicData_new(nullptr, nullptr);
    EXPECT_EQ(lng("x", empty), rc(DDS_RETCODE_BAD_PARAMETER));
    DDS_DynamicData_delete(empty);
}

} // namespace
