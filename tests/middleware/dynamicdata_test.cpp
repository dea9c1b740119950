// DynamicData access by name and id: kinds, paths, bounds, unions, optionals, binding.
#include "dynamicdata_impl.h"
#include "dds/dds_string.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

using namespace quelt::mw;

namespace {

// struct Inner { int32 c; string<8> label; }
// struct Mid { Inner i; int16 arr[2][3]; }
// enum Color { RED=1, GREEN=2, BLUE=4 }
// union U switch(int32) { case 1: int32 a; case 2: case 3: string s; default: float64 d; }
// struct All { every primitive; Mid m; sequence<int32,3> bseq; sequence<Inner> iseq; Color col;
//              U u; @optional int32 opt; @optional Inner oin; alias Count = uint32 cnt; @key string id; }
struct Types {
    TypeStore store;
    DDS_TypeCode *inner, *mid, *color, *un, *all;
    Types()
    {
        inner = make_struct(store, "Inner");
        add_member(inner, "c", primitive_type(DDS_TK_LONG));
        add_member(inner, "label", make_string(store, DDS_TK_STRING, 8));
        mid = make_struct(store, "Mod::Mid");
        add_member(mid, "i", inner);
        add_member(mid, "arr", make_array(store, primitive_type(DDS_TK_SHORT), {2, 3}));
        color = make_enum(store, "Color");
        add_enumerator(color, "RED", 1);
        add_enumerator(color, "GREEN", 2);
        add_enumerator(color, "BLUE", 4);
        un = make_union(store, "U", primitive_type(DDS_TK_LONG));
        add_case(un, "a", primitive_type(DDS_TK_LONG), {1}, false);
        add_case(un, "s", make_string(store, DDS_TK_STRING, 0), {2, 3}, false);
        add_case(un, "d", primitive_type(DDS_TK_DOUBLE), {}, true);
        all = make_struct(store, "All");
        const DDS_TCKind prims[] = {DDS_TK_SHORT, DDS_TK_LONG, DDS_TK_USHORT, DDS_TK_ULONG, DDS_TK_FLOAT,
                                    DDS_TK_DOUBLE, DDS_TK_BOOLEAN, DDS_TK_CHAR, DDS_TK_OCTET, DDS_TK_LONGLONG,
                                    DDS_TK_ULONGLONG, DDS_TK_LONGDOUBLE, DDS_TK_WCHAR};
        for (DDS_TCKind k : prims)
            add_member(all, "p" + std::to_string(int(k)), primitive_type(k));
        add_member(all, "str", make_string(store, DDS_TK_STRING, 0));
        add_member(all, "wstr", make_string(store, DDS_TK_WSTRING, 4));
        add_member(all, "m", mid);
        add_member(all, "bseq", make_sequence(store, primitive_type(DDS_TK_LONG), 3));
        add_member(all, "iseq", make_sequence(store, inner, 0));
        add_member(all, "col", color);
        add_member(all, "u", un);
        add_member(all, "opt", primitive_type(DDS_TK_LONG), false, true);
        add_member(all, "oin", inner, false, true);
        add_member(all, "cnt", make_alias(store, "Count", primitive_type(DDS_TK_ULONG)));
        add_member(all, "id", make_string(store, DDS_TK_STRING, 0), true);
        std::string err = store.finish(all);
        EXPECT_EQ(err, "");
    }
};

class DynamicDataTest : public ::testing::Test {
  protected:
    Types types;
    DDS_DynamicData *d = nullptr;
    void SetUp() override { d = DDS_DynamicData_new(types.all, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT); ASSERT_NE(d, nullptr); }
    void TearDown() override { DDS_DynamicData_delete(d); }
    std::string get_string(const char *name)
    {
        char *s = nullptr;
        DDS_UnsignedLong size = 0;
        if (DDS_DynamicData_get_string(d, &s, &size, name, 0) != DDS_RETCODE_OK)
            return "<error>";
        std::string r(s);
        DDS_String_free(s);
        return r;
    }
};

// Set by name, read back by name with the getter of the same kind.
template <typename T>
void round_trip(DDS_DynamicData *d, DDS_ReturnCode_t (*set)(DDS_DynamicData *, const char *, DDS_DynamicDataMemberId, T),
                DDS_ReturnCode_t (*get)(const DDS_DynamicData *, T *, const char *, DDS_DynamicDataMemberId), const char *name,
                T in, T want)
{
    ASSERT_EQ(set(d, name, 0, in), DDS_RETCODE_OK) << name;
    T out{};
    ASSERT_EQ(get(d, &out, name, 0), DDS_RETCODE_OK) << name;
    EXPECT_EQ(std::memcmp(&out, &want, sizeof out), 0) << name;
}

TEST_F(DynamicDataTest, EveryPrimitiveKindRoundTripsByName)
{
    round_trip<DDS_Short>(d, DDS_DynamicData_set_short, DDS_DynamicData_get_short, "p1", -32768, -32768);
    round_trip<DDS_Long>(d, DDS_DynamicData_set_long, DDS_DynamicData_get_long, "p2", INT32_MIN, INT32_MIN);
    round_trip<DDS_UnsignedShort>(d, DDS_DynamicData_set_ushort, DDS_DynamicData_get_ushort, "p3", 65535, 65535);
    round_trip<DDS_UnsignedLong>(d, DDS_DynamicData_set_ulong, DDS_DynamicData_get_ulong, "p4", UINT32_MAX, UINT32_MAX);
    round_trip<DDS_Float>(d, DDS_DynamicData_set_float, DDS_DynamicData_get_float, "p5", 1.5f, 1.5f);
    round_trip<DDS_Double>(d, DDS_DynamicData_set_double, DDS_DynamicData_get_double, "p6", -2.25, -2.25);
    round_trip<DDS_Boolean>(d, DDS_DynamicData_set_boolean, DDS_DynamicData_get_boolean, "p7", 7, 1); // any non-zero is true
    round_trip<DDS_Char>(d, DDS_DynamicData_set_char, DDS_DynamicData_get_char, "p8", 'z', 'z');
    round_trip<DDS_Octet>(d, DDS_DynamicData_set_octet, DDS_DynamicData_get_octet, "p9", 255, 255);
    round_trip<DDS_LongLong>(d, DDS_DynamicData_set_longlong, DDS_DynamicData_get_longlong, "p17", INT64_MIN, INT64_MIN);
    round_trip<DDS_UnsignedLongLong>(d, DDS_DynamicData_set_ulonglong, DDS_DynamicData_get_ulonglong, "p18", UINT64_MAX, UINT64_MAX);
    DDS_LongDouble ld{};
    ld.bytes[0] = 9;
    ld.bytes[15] = 7;
    round_trip<DDS_LongDouble>(d, DDS_DynamicData_set_longdouble, DDS_DynamicData_get_longdouble, "p19", ld, ld);
    round_trip<DDS_Wchar>(d, DDS_DynamicData_set_wchar, DDS_DynamicData_get_wchar, "p20", 0x263A, 0x263A);
}

TEST_F(DynamicDataTest, KindMismatchesAndLosslessWidening)
{
    // Setters want the member's exact kind.
    EXPECT_EQ(DDS_DynamicData_set_long(d, "p1", 0, 1), DDS_RETCODE_BAD_PARAMETER);
    EXPECT_EQ(DDS_DynamicData_set_double(d, "p5", 0, 1), DDS_RETCODE_BAD_PARAMETER);
    EXPECT_EQ(DDS_DynamicData_set_string(d, "p2", 0, "1"), DDS_RETCODE_BAD_PARAMETER);
    EXPECT_EQ(DDS_DynamicData_set_long(d, "m", 0, 1), DDS_RETCODE_BAD_PARAMETER);
    // Getters may widen without loss, never narrow.
    ASSERT_EQ(DDS_DynamicData_set_short(d, "p1", 0, -5), DDS_RETCODE_OK);
    DDS_Long l = 0;
    DDS_LongLong ll = 0;
    DDS_Double db = 0;
    DDS_Short s = 0;
    EXPECT_EQ(DDS_DynamicData_get_long(d, &l, "p1", 0), DDS_RETCODE_OK);
    EXPECT_EQ(l, -5);
    EXPECT_EQ(DDS_DynamicData_get_longlong(d, &ll, "p1", 0), DDS_RETCODE_OK);
    EXPECT_EQ(ll, -5);
    EXPECT_EQ(DDS_DynamicData_get_double(d, &db, "p1", 0), DDS_RETCODE_OK);
    EXPECT_EQ(db, -5.0);
    EXPECT_EQ(DDS_DynamicData_get_short(d, &s, "p2", 0), DDS_RETCODE_BAD_PARAMETER);
    EXPECT_EQ(DDS_DynamicData_get_long(d, &l, "p4", 0), DDS_RETCODE_BAD_PARAMETER); // uint32 into int32
    EXPECT_EQ(DDS_DynamicData_get_long(d, &l, "str", 0), DDS_RETCODE_BAD_PARAMETER);
}

TEST_F(DynamicDataTest, BadNamesAreRefused)
{
    DDS_Long l = 0;
    for (const char *name : {"nope", "", "p2.", ".p2", "p2..x", "m..i", "m.i.", "m.nope", "p2[1]", "bseq[0]", "bseq[x]",
                             "bseq[1", "bseq[-1]", "m.arr[3][1]", "m.arr[1][4]", "m.arr[7]", "m.arr[1][1][1]", "u.zz",
                             "bseq[99999999999]"}) {
        EXPECT_NE(DDS_DynamicData_get_long(d, &l, name, 0), DDS_RETCODE_OK) << name;
        EXPECT_NE(DDS_DynamicData_set_long(d, name, 0, 1), DDS_RETCODE_OK) << name;
    }
}

TEST_F(DynamicDataTest, NestedMembersAndArrays)
{
    ASSERT_EQ(DDS_DynamicData_set_long(d, "m.i.c", 0, 42), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_string(d, "m.i.label", 0, "12345678"), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_DynamicData_set_string(d, "m.i.label", 0, "123456789"), DDS_RETCODE_BAD_PARAMETER); // over the bound
    EXPECT_EQ(get_string("m.i.label"), "12345678");
    DDS_Long l = 0;
    ASSERT_EQ(DDS_DynamicData_get_long(d, &l, "m.i.c", 0), DDS_RETCODE_OK);
    EXPECT_EQ(l, 42);

    // arr is int16[2][3]: [r][c] row-major, the same element as flat index (r-1)*3+c.
    ASSERT_EQ(DDS_DynamicData_set_short(d, "m.arr[2][1]", 0, 7), DDS_RETCODE_OK);
    DDS_Short s = 0;
    ASSERT_EQ(DDS_DynamicData_get_short(d, &s, "m.arr[4]", 0), DDS_RETCODE_OK);
    EXPECT_EQ(s, 7);
    ASSERT_EQ(DDS_DynamicData_set_short(d, "m.arr[6]", 0, 9), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_get_short(d, &s, "m.arr[2][3]", 0), DDS_RETCODE_OK);
    EXPECT_EQ(s, 9);

    DDS_DynamicDataMemberInfo info;
    ASSERT_EQ(DDS_DynamicData_get_member_info(d, &info, "m.arr#", 0), DDS_RETCODE_OK);
    EXPECT_EQ(info.member_kind, DDS_TK_ARRAY);
    EXPECT_EQ(info.element_kind, DDS_TK_SHORT);
    EXPECT_EQ(info.element_count, 6u);
    ASSERT_EQ(DDS_DynamicData_get_member_info(d, &info, "m", 0), DDS_RETCODE_OK);
    EXPECT_EQ(info.member_kind, DDS_TK_STRUCT);
    EXPECT_STREQ(info.member_name, "m");
}

TEST_F(DynamicDataTest, SequencesGrowOnSetWithinTheirBound)
{
    DDS_DynamicDataMemberInfo info;
    ASSERT_EQ(DDS_DynamicData_get_member_info(d, &info, "bseq#", 0), DDS_RETCODE_OK);
    EXPECT_EQ(info.member_kind, DDS_TK_SEQUENCE);
    EXPECT_EQ(info.element_count, 0u);
    DDS_Long l = 0;
    EXPECT_EQ(DDS_DynamicData_get_long(d, &l, "bseq[1]", 0), DDS_RETCODE_BAD_PARAMETER); // past the length

    ASSERT_EQ(DDS_DynamicData_set_long(d, "bseq[2]", 0, 5), DDS_RETCODE_OK); // grows to 2, element 1 zero
    ASSERT_EQ(DDS_DynamicData_get_member_info(d, &info, "bseq#", 0), DDS_RETCODE_OK);
    EXPECT_EQ(info.element_count, 2u);
    ASSERT_EQ(DDS_DynamicData_get_long(d, &l, "bseq[1]", 0), DDS_RETCODE_OK);
    EXPECT_EQ(l, 0);
    ASSERT_EQ(DDS_DynamicData_get_long(d, &l, "bseq[2]", 0), DDS_RETCODE_OK);
    EXPECT_EQ(l, 5);
    EXPECT_EQ(DDS_DynamicData_set_long(d, "bseq[4]", 0, 1), DDS_RETCODE_BAD_PARAMETER); // bound 3
    ASSERT_EQ(DDS_DynamicData_set_long(d, "bseq[3]", 0, 1), DDS_RETCODE_OK);

    // Sequences of structs: growth initializes the new elements, strings included.
    ASSERT_EQ(DDS_DynamicData_set_string(d, "iseq[3].label", 0, "x"), DDS_RETCODE_OK);
    EXPECT_EQ(get_string("iseq[1].label"), "");
    EXPECT_EQ(get_string("iseq[3].label"), "x");
    // Info past the length but within the bound answers with the element type (how a JSON reader
    // learns what to set before the element exists).
    ASSERT_EQ(DDS_DynamicData_get_member_info(d, &info, "iseq[9]", 0), DDS_RETCODE_OK);
    EXPECT_EQ(info.member_kind, DDS_TK_STRUCT);
    EXPECT_FALSE(info.member_exists);
    // An unbounded sequence grows by at most 2^20 elements in one set (a mistyped index would
    // allocate gigabytes).
    EXPECT_EQ(DDS_DynamicData_set_string(d, "iseq[97379216].label", 0, "x"), DDS_RETCODE_BAD_PARAMETER);
    ASSERT_EQ(DDS_DynamicData_set_string(d, "iseq[1048579].label", 0, "y"), DDS_RETCODE_OK); // 3 + 2^20
    EXPECT_EQ(get_string("iseq[1048579].label"), "y");
}

TEST_F(DynamicDataTest, EnumsAcceptOnlyDeclaredValues)
{
    DDS_Long l = 0;
    ASSERT_EQ(DDS_DynamicData_get_long(d, &l, "col", 0), DDS_RETCODE_OK);
    EXPECT_EQ(l, 1); // the first enumerator, not 0
    EXPECT_EQ(DDS_DynamicData_set_long(d, "col", 0, 4), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_DynamicData_set_long(d, "col", 0, 3), DDS_RETCODE_BAD_PARAMETER);
    ASSERT_EQ(DDS_DynamicData_get_long(d, &l, "col", 0), DDS_RETCODE_OK);
    EXPECT_EQ(l, 4);
    DDS_DynamicDataMemberInfo info;
    ASSERT_EQ(DDS_DynamicData_get_member_info(d, &info, "col", 0), DDS_RETCODE_OK);
    EXPECT_EQ(info.member_kind, DDS_TK_ENUM);
}

TEST_F(DynamicDataTest, UnionsSelectOnSetAndReportTheSelection)
{
    DDS_DynamicDataMemberInfo info;
    // Discriminator 0 matches no label: the default case is selected.
    ASSERT_EQ(DDS_DynamicData_get_member_info(d, &info, "u#", 0), DDS_RETCODE_OK);
    EXPECT_EQ(info.member_kind, DDS_TK_UNION);
    EXPECT_STREQ(info.member_name, "d");
    DDS_Long l = 0;
    EXPECT_EQ(DDS_DynamicData_get_long(d, &l, "u.a", 0), DDS_RETCODE_NO_DATA);

    ASSERT_EQ(DDS_DynamicData_set_string(d, "u.s", 0, "hello"), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_get_member_info(d, &info, "u#", 0), DDS_RETCODE_OK);
    EXPECT_STREQ(info.member_name, "s");
    EXPECT_EQ(get_string("u.s"), "hello");
    const Member *um = nullptr;
    for (const Member &m : types.all->members)
        if (m.name == "u")
            um = &m;
    ASSERT_NE(um, nullptr);
    auto *rep = reinterpret_cast<const UnionRep *>(d->p + um->offset);
    EXPECT_EQ(rep->disc, 2);

    ASSERT_EQ(DDS_DynamicData_set_long(d, "u.a", 0, 9), DDS_RETCODE_OK); // frees the string (ASan)
    EXPECT_EQ(rep->disc, 1);
    ASSERT_EQ(DDS_DynamicData_get_long(d, &l, "u.a", 0), DDS_RETCODE_OK);
    EXPECT_EQ(l, 9);
    EXPECT_EQ(get_string("u.s"), "<error>");
    ASSERT_EQ(DDS_DynamicData_set_double(d, "u.d", 0, 1.0), DDS_RETCODE_OK);
    EXPECT_NE(rep->disc, 1);
    EXPECT_NE(rep->disc, 2);
    EXPECT_NE(rep->disc, 3);
}

TEST_F(DynamicDataTest, OptionalMembersAreAbsentUntilSet)
{
    DDS_Long l = 0;
    EXPECT_EQ(DDS_DynamicData_get_long(d, &l, "opt", 0), DDS_RETCODE_NO_DATA);
    EXPECT_EQ(DDS_DynamicData_get_long(d, &l, "oin.c", 0), DDS_RETCODE_NO_DATA);
    DDS_DynamicDataMemberInfo info;
    ASSERT_EQ(DDS_DynamicData_get_member_info(d, &info, "opt", 0), DDS_RETCODE_OK);
    EXPECT_FALSE(info.member_exists);
    EXPECT_EQ(info.member_kind, DDS_TK_LONG);

    ASSERT_EQ(DDS_DynamicData_set_string(d, "oin.label", 0, "abc"), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_get_long(d, &l, "oin.c", 0), DDS_RETCODE_OK);
    EXPECT_EQ(l, 0);
    ASSERT_EQ(DDS_DynamicData_clear_optional_member(d, "oin", 0), DDS_RETCODE_OK); // frees the label (ASan)
    EXPECT_EQ(DDS_DynamicData_get_long(d, &l, "oin.c", 0), DDS_RETCODE_NO_DATA);
    ASSERT_EQ(DDS_DynamicData_set_long(d, "opt", 0, 3), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_get_long(d, &l, "opt", 0), DDS_RETCODE_OK);
    EXPECT_EQ(l, 3);
    // Only optional members can be cleared.
    EXPECT_EQ(DDS_DynamicData_clear_optional_member(d, "p2", 0), DDS_RETCODE_PRECONDITION_NOT_MET);
    EXPECT_EQ(DDS_DynamicData_clear_optional_member(d, "nope", 0), DDS_RETCODE_BAD_PARAMETER);
}

TEST_F(DynamicDataTest, AliasesKeysAndIds)
{
    ASSERT_EQ(DDS_DynamicData_set_ulong(d, "cnt", 0, 12), DDS_RETCODE_OK);
    DDS_DynamicDataMemberInfo info;
    ASSERT_EQ(DDS_DynamicData_get_member_info(d, &info, "cnt", 0), DDS_RETCODE_OK);
    EXPECT_EQ(info.member_kind, DDS_TK_ULONG); // the alias is seen through
    EXPECT_TRUE(DDS_DynamicData_is_member_key(d, "id", 0));
    EXPECT_FALSE(DDS_DynamicData_is_member_key(d, "cnt", 0));
    // Member id i is member i, counting from 1; a name wins over an id.
    ASSERT_EQ(DDS_DynamicData_set_long(d, nullptr, 2, 77), DDS_RETCODE_OK);
    DDS_Long l = 0;
    ASSERT_EQ(DDS_DynamicData_get_long(d, &l, "p2", 0), DDS_RETCODE_OK);
    EXPECT_EQ(l, 77);
    ASSERT_EQ(DDS_DynamicData_get_member_info(d, &info, nullptr, 2), DDS_RETCODE_OK);
    EXPECT_STREQ(info.member_name, "p2");
    EXPECT_EQ(info.member_id, 2u);
    EXPECT_EQ(DDS_DynamicData_get_member_info(d, &info, nullptr, 0), DDS_RETCODE_BAD_PARAMETER);
    EXPECT_EQ(DDS_DynamicData_get_member_info(d, &info, nullptr, 999), DDS_RETCODE_BAD_PARAMETER);
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
    EXPECT_EQ(DDS_DynamicData_set_long(d, "p2", 0, 5), DDS_RETCODE_PRECONDITION_NOT_MET);
    DDS_DynamicData *other = DDS_DynamicData_new(nullptr, nullptr);
    EXPECT_EQ(DDS_DynamicData_bind_complex_member(d, other, "iseq", 0), DDS_RETCODE_PRECONDITION_NOT_MET);
    EXPECT_EQ(DDS_DynamicData_bind_complex_member(d, other, "p2", 0), DDS_RETCODE_PRECONDITION_NOT_MET);
    EXPECT_EQ(DDS_DynamicData_unbind_complex_member(d, other), DDS_RETCODE_PRECONDITION_NOT_MET);
    ASSERT_EQ(DDS_DynamicData_unbind_complex_member(d, m), DDS_RETCODE_OK);
    DDS_Long l = 0;
    ASSERT_EQ(DDS_DynamicData_get_long(d, &l, "m.i.c", 0), DDS_RETCODE_OK);
    EXPECT_EQ(l, 5);
    EXPECT_EQ(DDS_DynamicData_bind_complex_member(d, other, "p2", 0), DDS_RETCODE_BAD_PARAMETER); // not complex

    // A sequence bound by name is then addressed by element id; binding an element past the end grows it.
    ASSERT_EQ(DDS_DynamicData_bind_complex_member(d, m, "iseq", 0), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_bind_complex_member(m, other, nullptr, 2), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_DynamicData_set_long(other, "c", 0, 8), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_DynamicData_unbind_complex_member(m, other), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_long(m, nullptr, 1, 0), DDS_RETCODE_BAD_PARAMETER); // element 1 is a struct
    EXPECT_EQ(DDS_DynamicData_get_member_count(m), 2u);
    EXPECT_EQ(DDS_DynamicData_unbind_complex_member(d, m), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_get_long(d, &l, "iseq[2].c", 0), DDS_RETCODE_OK);
    EXPECT_EQ(l, 8);
    DDS_DynamicData_delete(other);
    DDS_DynamicData_delete(m);
}

TEST_F(DynamicDataTest, CopyEqualAndClear)
{
    ASSERT_EQ(DDS_DynamicData_set_string(d, "iseq[2].label", 0, "ab"), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_string(d, "u.s", 0, "in union"), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_long(d, "oin.c", 0, 4), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DynamicData_set_string(d, "id", 0, "key"), DDS_RETCODE_OK);
    DDS_DynamicData *e = DDS_DynamicData_new(types.all, nullptr);
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
    DDS_DynamicData *fresh = DDS_DynamicData_new(types.all, nullptr);
    EXPECT_TRUE(DDS_DynamicData_equal(d, fresh));
    DDS_DynamicData *inner = DDS_DynamicData_new(types.inner, nullptr);
    EXPECT_EQ(DDS_DynamicData_copy(inner, d), DDS_RETCODE_BAD_PARAMETER);
    DDS_DynamicData_delete(inner);
    DDS_DynamicData_delete(fresh);
    DDS_DynamicData_delete(e);
}

TEST(DynamicDataLifecycle, InPlaceAndTypelessObjects)
{
    Types types;
    alignas(8) unsigned char storage[256];
    ASSERT_GE(sizeof storage, DDS_DynamicData_sizeof());
    auto *d = reinterpret_cast<DDS_DynamicData *>(storage);
    ASSERT_TRUE(DDS_DynamicData_initialize(d, types.mid, nullptr));
    EXPECT_EQ(DDS_DynamicData_get_type_kind(d), DDS_TK_STRUCT);
    EXPECT_EQ(DDS_DynamicData_get_member_count(d), 2u);
    EXPECT_EQ(DDS_DynamicData_set_string(d, "i.label", 0, "a"), DDS_RETCODE_OK);
    EXPECT_TRUE(DDS_DynamicData_finalize(d));
    // Without a type nothing can be addressed.
    DDS_DynamicData *empty = DDS_DynamicData_new(nullptr, nullptr);
    DDS_Long l;
    EXPECT_EQ(DDS_DynamicData_get_long(empty, &l, "x", 0), DDS_RETCODE_BAD_PARAMETER);
    DDS_DynamicData_delete(empty);
}

TEST(TypeStoreTest, RefusesBrokenTypes)
{
    TypeStore store;
    DDS_TypeCode *st = make_struct(store, "S");
    EXPECT_TRUE(add_member(st, "a", primitive_type(DDS_TK_LONG)));
    EXPECT_FALSE(add_member(st, "a", primitive_type(DDS_TK_SHORT))); // duplicate
    DDS_TypeCode *en = make_enum(store, "E");
    EXPECT_TRUE(add_enumerator(en, "A", 0));
    EXPECT_FALSE(add_enumerator(en, "B", 0)); // duplicate value
    DDS_TypeCode *un = make_union(store, "U", primitive_type(DDS_TK_DOUBLE));
    add_case(un, "x", primitive_type(DDS_TK_LONG), {1}, false);
    EXPECT_NE(store.finish(un), "");
    DDS_TypeCode *un2 = make_union(store, "U2", primitive_type(DDS_TK_LONG));
    EXPECT_TRUE(add_case(un2, "x", primitive_type(DDS_TK_LONG), {1, 2}, false));
    EXPECT_FALSE(add_case(un2, "y", primitive_type(DDS_TK_LONG), {2}, false)); // label taken
    EXPECT_TRUE(add_case(un2, "z", primitive_type(DDS_TK_LONG), {}, true));
    EXPECT_FALSE(add_case(un2, "w", primitive_type(DDS_TK_LONG), {}, true)); // second default
    EXPECT_EQ(store.finish(un2), "");
    EXPECT_NE(store.finish(make_enum(store, "Empty")), "");
    EXPECT_NE(store.finish(make_array(store, primitive_type(DDS_TK_LONG), {2, 0})), "");
}

} // namespace
