// Type libraries from XML: what each construct turns into, and that every mistake is refused with
// one log line naming file and line while the library stays as it was.
#include "typecode.h"

#include "dds/dds_dynamicdata.h"
#include "dds/dds_log.h"

#include <gtest/gtest.h>

#include "support/support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kXml = std::string(QUELT_TEST_DATA) + "/xml/";
const std::string kShapes = std::string(QUELT_EXAMPLES) + "/shapes/Shapes.xml";

struct LibraryDeleter {
    void operator()(DDS_TypeLibrary *lib) const { DDS_TypeLibrary_delete(lib); }
};
using Library = std::unique_ptr<DDS_TypeLibrary, LibraryDeleter>;

using quelt::test::LogCapture;

Library load(const std::string &path)
{
    Library lib(DDS_TypeLibrary_new());
    EXPECT_EQ(DDS_TypeLibrary_load_file(lib.get(), path.c_str()), DDS_RETCODE_OK) << path;
    return lib;
}

const DDS_TypeCode *find(const Library &lib, const char *name)
{
    const DDS_TypeCode *t = DDS_TypeLibrary_find(lib.get(), name);
    EXPECT_NE(t, nullptr) << name;
    return t;
}

// The member of a struct or union by name, or null.
const quelt::mw::Member *member(const DDS_TypeCode *t, const std::string &name)
{
    if (!t)
        return nullptr;
    for (const quelt::mw::Member &m : quelt::mw::resolve(t)->members)
        if (m.name == name)
            return &m;
    ADD_FAILURE() << "no member " << name << " in " << t->name;
    return nullptr;
}

TEST(XmlTypes, EveryPrimitiveSpellingHasItsKind)
{
    Library lib = load(kXml + "good/primitives.xml");
    const DDS_TypeCode *t = find(lib, "Primitives");
    ASSERT_NE(t, nullptr);
    // Member names are the spellings they are declared with; strings also carry their bound.
    const struct { const char *name; DDS_TCKind kind; DDS_UnsignedLong bound = 0; } expected[] = {
        {"boolean", DDS_TK_BOOLEAN},     {"byte", DDS_TK_OCTET},         {"int8", DDS_TK_OCTET},
        {"uint8", DDS_TK_OCTET},         {"octet", DDS_TK_OCTET},        {"char8", DDS_TK_CHAR},
        {"char", DDS_TK_CHAR},           {"char16", DDS_TK_WCHAR},       {"wchar", DDS_TK_WCHAR},
        {"int16", DDS_TK_SHORT},         {"short", DDS_TK_SHORT},        {"uint16", DDS_TK_USHORT},
        {"unsignedShort", DDS_TK_USHORT}, {"int32", DDS_TK_LONG},        {"long", DDS_TK_LONG},
        {"uint32", DDS_TK_ULONG},        {"unsignedLong", DDS_TK_ULONG}, {"int64", DDS_TK_LONGLONG},
        {"longLong", DDS_TK_LONGLONG},   {"uint64", DDS_TK_ULONGLONG},   {"unsignedLongLong", DDS_TK_ULONGLONG},
        {"float32", DDS_TK_FLOAT},       {"float", DDS_TK_FLOAT},        {"float64", DDS_TK_DOUBLE},
        {"double", DDS_TK_DOUBLE},       {"float128", DDS_TK_LONGDOUBLE}, {"longDouble", DDS_TK_LONGDOUBLE},
        {"string", DDS_TK_STRING},       {"wstring", DDS_TK_WSTRING},    {"bounded", DDS_TK_STRING, 16},
        {"wbounded", DDS_TK_WSTRING, 8}, {"unbounded", DDS_TK_STRING},
    };
    for (const auto &e : expected) {
        const auto *m = member(t, e.name);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(DDS_TypeCode_kind(m->type), e.kind) << e.name;
        if (e.kind == DDS_TK_STRING || e.kind == DDS_TK_WSTRING) {
            EXPECT_EQ(DDS_TypeCode_length(m->type), e.bound) << e.name;
        }
    }
}

TEST(XmlTypes, NamesResolveFromTheInnermostScopeOutward)
{
    Library lib = load(kXml + "good/scopes.xml");
    const DDS_TypeCode *global = find(lib, "Point");
    const DDS_TypeCode *geo = find(lib, "Geo::Point");
    const DDS_TypeCode *pair = find(lib, "Geo::Inner::Pair");
    ASSERT_TRUE(global && geo && pair);
    EXPECT_NE(global, geo);
    EXPECT_EQ(DDS_TypeLibrary_find(lib.get(), "::Geo::Inner::Pair"), pair);
    EXPECT_EQ(DDS_TypeLibrary_find(lib.get(), "Pair"), nullptr); // scoped names only
    EXPECT_EQ(DDS_TypeCode_name(pair), std::string("Geo::Inner::Pair"));

    EXPECT_EQ(member(pair, "near")->type, geo);
    EXPECT_EQ(member(pair, "far")->type, global);
    EXPECT_EQ(member(pair, "scoped")->type, geo);
    EXPECT_EQ(member(pair, "lenient")->type, geo);

    // The second <types> section reopened the modules.
    const DDS_TypeCode *trio = find(lib, "Geo::Inner::Trio");
    EXPECT_EQ(member(trio, "pair")->type, pair);
    EXPECT_EQ(member(trio, "top")->type, geo);
}

TEST(XmlTypes, StructsNestInheritAndCarryKeyAndOptionalFlags)
{
    Library lib = load(kXml + "good/structs.xml");
    const DDS_TypeCode *position = find(lib, "Fleet::Position");
    const DDS_TypeCode *vehicle = find(lib, "Fleet::Vehicle");
    const DDS_TypeCode *truck = find(lib, "Fleet::Truck");
    ASSERT_TRUE(position && vehicle && truck);

    EXPECT_EQ(member(vehicle, "pos")->type, position);
    EXPECT_EQ(DDS_TypeCode_length(member(vehicle, "name")->type), 32u); // const NAME_LEN

    EXPECT_EQ(truck->base, vehicle);
    // name, id, key, optional: the base's members first.
    const std::vector<std::string> expected = {"id 1 K -", "name 2 - -", "pos 3 - -", "load 4 - O", "region 5 K -", "note 6 - -"};
    std::vector<std::string> got;
    for (DDS_UnsignedLong i = 0; i < truck->members.size(); ++i)
        got.push_back(truck->members[i].name + " " + std::to_string(truck->members[i].id) + (DDS_TypeCode_is_member_key(truck, i) ? " K" : " -") +
                      (DDS_TypeCode_is_member_optional(truck, i) ? " O" : " -"));
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(truck->finished);
    EXPECT_TRUE(truck->keyed);
}

TEST(XmlTypes, ExtensibilityAndMemberIdsAndWarningsForHarmlessUnknownAttributes)
{
    using quelt::mw::Extensibility;
    LogCapture log;
    Library lib = load(kXml + "good/extensible.xml");
    const DDS_TypeCode *derived = find(lib, "Derived");
    ASSERT_NE(derived, nullptr);
    EXPECT_EQ(derived->extensibility, Extensibility::Mutable);
    // Ids continue from the base type's; an explicit one restarts the count.
    std::vector<uint32_t> ids;
    for (const auto &m : derived->members)
        ids.push_back(m.wire_id);
    EXPECT_EQ(ids, (std::vector<uint32_t>{10, 11, 0x20, 0x21, 3}));
    EXPECT_EQ(find(lib, "App")->extensibility, Extensibility::Appendable);
    EXPECT_EQ(find(lib, "Fin")->extensibility, Extensibility::Final);
    EXPECT_EQ(find(lib, "U")->extensibility, Extensibility::Appendable);
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_NE(log.lines()[0].find("extensible.xml:10: warning: unknown attribute 'comment' of <member>"), std::string::npos) << log.lines()[0];
    EXPECT_NE(log.lines()[1].find("extensible.xml:11: warning: unknown attribute 'color'"), std::string::npos) << log.lines()[1];
}

TEST(XmlTypes, ArraysAndSequencesTakeTheDeclaredShape)
{
    Library lib = load(kXml + "good/structs.xml");
    const DDS_TypeCode *grid = find(lib, "Fleet::Grid");
    ASSERT_NE(grid, nullptr);

    const DDS_TypeCode *cells = member(grid, "cells")->type; // "ROWS, COLS" from constants
    EXPECT_EQ(DDS_TypeCode_kind(cells), DDS_TK_ARRAY);
    EXPECT_EQ(cells->dims, (std::vector<uint32_t>{3, 4}));
    EXPECT_EQ(DDS_TypeCode_length(cells), 12u);
    EXPECT_EQ(DDS_TypeCode_kind(DDS_TypeCode_content_type(cells)), DDS_TK_SHORT);

    const DDS_TypeCode *track = member(grid, "track")->type;
    EXPECT_EQ(DDS_TypeCode_kind(track), DDS_TK_SEQUENCE);
    EXPECT_EQ(DDS_TypeCode_length(track), 100u);
    EXPECT_EQ(DDS_TypeCode_content_type(track), find(lib, "Fleet::Position"));

    const DDS_TypeCode *log = member(grid, "log")->type;
    EXPECT_EQ(DDS_TypeCode_kind(log), DDS_TK_SEQUENCE);
    EXPECT_EQ(DDS_TypeCode_length(log), 0u);
    EXPECT_EQ(DDS_TypeCode_kind(DDS_TypeCode_content_type(log)), DDS_TK_STRING);

    // Both a sequence bound and dimensions: an array of sequences.
    const DDS_TypeCode *lanes = member(grid, "lanes")->type;
    EXPECT_EQ(DDS_TypeCode_kind(lanes), DDS_TK_ARRAY);
    EXPECT_EQ(DDS_TypeCode_length(lanes), 2u);
    const DDS_TypeCode *lane = DDS_TypeCode_content_type(lanes);
    EXPECT_EQ(DDS_TypeCode_kind(lane), DDS_TK_SEQUENCE);
    EXPECT_EQ(DDS_TypeCode_length(lane), 5u);
    EXPECT_EQ(DDS_TypeCode_kind(DDS_TypeCode_content_type(lane)), DDS_TK_OCTET);

    const DDS_TypeCode *labels = DDS_TypeCode_content_type(member(grid, "labels")->type);
    EXPECT_EQ(DDS_TypeCode_kind(labels), DDS_TK_STRING);
    EXPECT_EQ(DDS_TypeCode_length(labels), 8u);
}

TEST(XmlTypes, EnumsTypedefsAndUnionLabels)
{
    Library lib = load(kXml + "good/unions.xml");

    const DDS_TypeCode *kind = find(lib, "Msg::Kind");
    ASSERT_NE(kind, nullptr);
    std::vector<std::pair<std::string, int32_t>> enumerators;
    for (const auto &e : kind->enumerators)
        enumerators.emplace_back(e.name, e.value);
    EXPECT_EQ(enumerators, (std::vector<std::pair<std::string, int32_t>>{{"TEXT", 0}, {"NUMBER", 5}, {"BLOB", 6}, {"NONE", -2}}));
    EXPECT_EQ(find(lib, "Msg::Level")->enumerators.at(1).value, 16); // value="BIG"

    const DDS_TypeCode *bytes = find(lib, "Msg::Bytes");
    EXPECT_EQ(DDS_TypeCode_kind(bytes), DDS_TK_ALIAS);
    EXPECT_EQ(DDS_TypeCode_kind(DDS_TypeCode_content_type(bytes)), DDS_TK_SEQUENCE);
    EXPECT_EQ(DDS_TypeCode_length(bytes), 64u);

    const DDS_TypeCode *payload = find(lib, "Msg::Payload");
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->discriminator, kind); // through the KindAlias typedef
    EXPECT_EQ(member(payload, "text")->labels, std::vector<int64_t>{0});
    EXPECT_EQ(member(payload, "number")->labels, (std::vector<int64_t>{5, -2}));
    EXPECT_TRUE(member(payload, "blob")->is_default);
    EXPECT_EQ(payload->default_case, 2);
    EXPECT_EQ(member(payload, "blob")->type, bytes);

    const struct { const char *type, *member; std::vector<int64_t> labels; } cases[] = {
        {"Msg::Numbered", "neg", {-1}},
        {"Msg::Numbered", "big", {16, 0x7fffffff, 5}}, // a constant, hex, an enum-typed constant
        {"Msg::Flag", "on", {1}},
        {"Msg::Flag", "off", {0}},
        {"Msg::Letter", "a", {'a'}},
        {"Msg::Letter", "b", {66}},
        {"Msg::Wide", "e", {0xe9}},
        {"Msg::Wide", "euro", {0x20ac}},
        {"Msg::Huge", "top", {-1}}, // uint64 labels keep their bits
        {"Msg::Huge", "below", {-2}},
    };
    for (const auto &c : cases) {
        const auto *m = member(find(lib, c.type), c.member);
        ASSERT_NE(m, nullptr) << c.member;
        EXPECT_EQ(m->labels, c.labels) << c.type << "." << c.member;
        EXPECT_FALSE(m->is_default);
    }
    const DDS_TypeCode *matrix = member(find(lib, "Msg::Numbered"), "big")->type;
    EXPECT_EQ(DDS_TypeCode_kind(matrix), DDS_TK_ALIAS);
    EXPECT_EQ(quelt::mw::resolve(matrix)->dims, (std::vector<uint32_t>{2, 2}));
}

// Each bad file starts with <!-- expect: LINE: FRAGMENT -->. It is loaded into a library that
// already holds the Shapes example, which must come out untouched.
TEST(XmlTypes, EveryBadFileIsRefusedWithOneLineNamingTheMistake)
{
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(kXml + "bad"))
        if (entry.path().extension() == ".xml")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 50u);

    const std::regex expect_re("<!-- expect: ([0-9]+): (.*) -->");
    for (const auto &file : files) {
        SCOPED_TRACE(file.filename().string());
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        std::smatch expect;
        const std::string content = text.str();
        ASSERT_TRUE(std::regex_search(content, expect, expect_re));

        Library lib = load(kShapes);
        const auto before = lib->by_name;
        LogCapture log;
        EXPECT_EQ(DDS_TypeLibrary_load_file(lib.get(), file.c_str()), DDS_RETCODE_ERROR);
        ASSERT_EQ(log.lines().size(), 1u);
        const std::string line = log.lines()[0];
        EXPECT_EQ(line.rfind("DDS_TypeLibrary_load_file: " + file.string() + ":" + expect[1].str() + ": ", 0), 0u) << line;
        EXPECT_NE(line.find(expect[2].str()), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
        EXPECT_EQ(lib->by_name, before);
    }
}

TEST(XmlTypes, FailedLoadLeavesTheLibraryAsItWas)
{
    Library lib = load(kShapes);
    const DDS_TypeCode *shape = find(lib, "ShapeType");
    const std::string good_part = R"(<struct name="Extra"><member name="x" type="int32"/></struct>
                                     <typedef name="Longs" type="int32" sequenceMaxLength="4"/>)";
    const std::string bad = "<dds><types>" + good_part + R"(</types><types>
        <struct name="Bad"><member name="y" type="Nope"/></struct></types></dds>)";
    const LogCapture quiet;
    EXPECT_EQ(DDS_TypeLibrary_load_string(lib.get(), bad.c_str(), "inline.xml"), DDS_RETCODE_ERROR);
    EXPECT_EQ(DDS_TypeLibrary_find(lib.get(), "Extra"), nullptr);
    EXPECT_EQ(lib->by_name.size(), 1u);

    // Nothing of the failed load lingers to clash with a corrected one.
    const std::string fixed = "<dds><types>" + good_part + "</types></dds>";
    EXPECT_EQ(DDS_TypeLibrary_load_string(lib.get(), fixed.c_str(), nullptr), DDS_RETCODE_OK);
    EXPECT_NE(DDS_TypeLibrary_find(lib.get(), "Extra"), nullptr);
    EXPECT_EQ(DDS_TypeLibrary_find(lib.get(), "ShapeType"), shape);
}

TEST(XmlTypes, UnusableArgumentsAndFilesAreRefused)
{
    Library lib(DDS_TypeLibrary_new());
    LogCapture log;
    const std::string missing = kXml + "no-such-file.xml";
    EXPECT_EQ(DDS_TypeLibrary_load_file(lib.get(), missing.c_str()), DDS_RETCODE_ERROR);
    EXPECT_EQ(DDS_TypeLibrary_load_file(lib.get(), (kXml + "good").c_str()), DDS_RETCODE_ERROR); // a directory
    EXPECT_EQ(DDS_TypeLibrary_load_string(lib.get(), "", nullptr), DDS_RETCODE_ERROR);
    EXPECT_EQ(DDS_TypeLibrary_load_file(nullptr, kShapes.c_str()), DDS_RETCODE_BAD_PARAMETER);
    EXPECT_EQ(DDS_TypeLibrary_load_string(lib.get(), nullptr, "x"), DDS_RETCODE_BAD_PARAMETER);
    ASSERT_EQ(log.lines().size(), 5u);
    EXPECT_NE(log.lines()[0].find(missing + ": cannot open"), std::string::npos) << log.lines()[0];
    EXPECT_NE(log.lines()[2].find("<string>:1: not well-formed XML"), std::string::npos) << log.lines()[2];
    EXPECT_TRUE(lib->by_name.empty());
}

} // namespace
