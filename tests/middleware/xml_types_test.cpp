// Type libraries from XML: what each construct turns into, and that every mistake is refused with
// one log line naming file and line while the library stays as it was.
#include "idl_types.h"
#include "typecode.h"

#include "dds/dds_dynamicdata.h"

#include <gtest/gtest.h>

#include "support/support.h"

#include <algorithm>
#include <filesystem>
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

const char *const kKinds[] = {"null", "int16", "int32", "uint16", "uint32", "float32", "float64", "boolean", "char8", "uint8", "struct",
                              "union", "enum", "string", "sequence", "array", "typedef", "int64", "uint64", "float128", "char16", "wstring"};

// A type as a member names it: named types by name, the others spelled out.
std::string ref(const DDS_TypeCode *t)
{
    const DDS_TCKind k = DDS_TypeCode_kind(t);
    const std::string len = std::to_string(DDS_TypeCode_length(t));
    if (k == DDS_TK_STRING || k == DDS_TK_WSTRING)
        return kKinds[k] + (len != "0" ? "<" + len + ">" : "");
    if (k == DDS_TK_SEQUENCE)
        return "sequence<" + ref(DDS_TypeCode_content_type(t)) + (len != "0" ? ", " + len : "") + ">";
    if (k == DDS_TK_ARRAY) {
        std::string s = ref(DDS_TypeCode_content_type(t));
        for (uint32_t d : t->dims)
            s += "[" + std::to_string(d) + "]";
        return s + " (" + len + ")";
    }
    return quelt::mw::is_primitive_kind(k) && k != DDS_TK_ENUM ? kKinds[k] : DDS_TypeCode_name(t);
}

// Every type of the library, one line per member, case or enumerator.
std::string declarations(const Library &lib)
{
    std::ostringstream o;
    for (const auto &[name, t] : lib->by_name) {
        const DDS_TCKind k = DDS_TypeCode_kind(t);
        o << kKinds[k] << " " << DDS_TypeCode_name(t);
        if (k == DDS_TK_ALIAS)
            o << " = " << ref(DDS_TypeCode_content_type(t)) << " (" << DDS_TypeCode_length(t) << ")";
        if (k == DDS_TK_STRUCT || k == DDS_TK_UNION)
            o << " " << quelt::mw::extensibility_name(t->extensibility);
        if (t->base)
            o << " : " << t->base->name;
        if (t->discriminator)
            o << " switch " << ref(t->discriminator) << " default " << t->default_case;
        o << (t->keyed ? " keyed" : "") << (t->finished ? "" : " unfinished") << "\n";
        for (const quelt::mw::Enumerator &e : t->enumerators)
            o << "  " << e.name << " = " << e.value << "\n";
        for (DDS_UnsignedLong i = 0; i < t->members.size(); ++i) {
            const quelt::mw::Member &m = t->members[i];
            EXPECT_EQ(m.id, i + 1) << name;
            o << "  " << DDS_TypeCode_member_name(t, i) << ": " << ref(DDS_TypeCode_member_type(t, i));
            if (k == DDS_TK_STRUCT)
                o << " id " << m.wire_id;
            o << (DDS_TypeCode_is_member_key(t, i) ? " key" : "") << (DDS_TypeCode_is_member_optional(t, i) ? " optional" : "");
            for (int64_t label : m.labels)
                o << " case " << label;
            o << (m.is_default ? " default" : "") << (m.has_default ? " = " + m.default_text : "") << "\n";
        }
    }
    return o.str();
}

// Each good file loads into what its .txt next to it shows, warnings (from the file name on) first.
TEST(XmlTypes, GoodFilesGiveTheTypesTheyDeclare)
{
    for (const char *name : {"primitives", "scopes", "structs", "unions", "extensible"}) {
        SCOPED_TRACE(name);
        LogCapture log;
        Library lib = load(kXml + "good/" + name + ".xml");
        std::string text;
        for (const std::string &line : log.lines())
            text += "log: " + line.substr(line.find(std::string(name) + ".xml"));
        EXPECT_EQ(text + declarations(lib), quelt::test::readFile(kXml + "good/" + name + ".txt"));
    }
    // Lookup takes scoped names, with or without the leading "::".
    Library lib = load(kXml + "good/scopes.xml");
    const DDS_TypeCode *pair = DDS_TypeLibrary_find(lib.get(), "Geo::Inner::Pair");
    EXPECT_TRUE(pair && DDS_TypeLibrary_find(lib.get(), "::Geo::Inner::Pair") == pair);
    EXPECT_EQ(DDS_TypeLibrary_find(lib.get(), "Pair"), nullptr);
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
        const std::string content = quelt::test::readFile(file.string());
        std::smatch expect;
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
    const DDS_TypeCode *shape = DDS_TypeLibrary_find(lib.get(), "ShapeType");
    ASSERT_NE(shape, nullptr);
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

// ---- IDL ----

const std::string kIdl = std::string(QUELT_TEST_DATA) + "/idl/";

// An IDL file gives the types of its XML form: included by a relative path (include.xml), by an
// absolute one, read back from the XML that quelt_types prints; and the XML form included too.
TEST(IdlTypes, AnIdlFileGivesTheTypesOfItsXmlForm)
{
    const std::string expected = declarations(load(kIdl + "constructs.xml"));
    Library relative = load(kIdl + "include.xml");
    EXPECT_EQ(declarations(relative), expected);
    for (const char *file : {"constructs.idl", "constructs.xml"}) {
        Library lib(DDS_TypeLibrary_new());
        const std::string config = "<dds><types><include file=\"" + kIdl + file + "\"/></types></dds>";
        EXPECT_EQ(DDS_TypeLibrary_load_string(lib.get(), config.c_str(), nullptr), DDS_RETCODE_OK);
        EXPECT_EQ(declarations(lib), expected) << file;
    }
    quelt::mw::TypeStore store;
    quelt::mw::idl::File idl;
    std::string err;
    ASSERT_TRUE(quelt::mw::idl::read_file(kIdl + "constructs.idl", store, idl, err)) << err;
    Library back(DDS_TypeLibrary_new());
    EXPECT_EQ(DDS_TypeLibrary_load_string(back.get(), quelt::mw::idl::to_xml(idl).c_str(), "back.xml"), DDS_RETCODE_OK);
    EXPECT_EQ(declarations(back), expected);
    // A new sample starts with the @default values.
    DDS_DynamicData *d = DDS_DynamicData_new(DDS_TypeLibrary_find(relative.get(), "Geo::Located"), &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
    DDS_Long level = 0;
    DDS_Double depth = 0;
    EXPECT_EQ(DDS_DynamicData_get_long(d, &level, "level", 0) | DDS_DynamicData_get_double(d, &depth, "depth", 0), DDS_RETCODE_OK);
    EXPECT_EQ(level * depth, 7 * -1.5);
    DDS_DynamicData_delete(d);
}

// What the type codes cannot carry is refused with one "file:line:col: message" line; through an
// <include>, the configuration is refused and the library keeps what it had.
TEST(IdlTypes, WhatCannotBeRepresentedIsRefusedWithItsPlace)
{
    const struct { const char *idl, *line; } rows[] = {
        {"bitmask Flags { A, B };", "1:1: bitmask 'Flags' is not supported"},
        {"module M { struct S; struct S { long a; }; };", "1:12: forward declaration of 'M::S' is not supported"},
        {"@mutable union U switch (long) { case 1: long a; };", "1:10: union 'U': mutable unions are not supported"},
        {"struct S { @external long a; };", "1:12: annotation @external on member 'a' of struct 'S' is not supported"},
        {"@data_representation(XCDR1) struct S { long a; };", "1:1: annotation @data_representation on struct 'S'"},
        {"@bit_bound(16) enum E { A };", "1:1: enum 'E': only @bit_bound(32) is supported"},
        {"enum E { A, @default_literal B };", "1:13: annotation @default_literal on enumerator 'B' of enum 'E'"},
        {"struct S { sequence<sequence<long> > s; };", "1:12: anonymous sequence of sequences"},
        {"struct S {\n  @default(\"x\") string s; };", "1:1: S: member 's' of 'S' has a default, but only primitive"},
        {"struct S { long a };", "1:19: syntax error"},
        {"#include \"x.idl\"", "1:2: Invalid compiler directive (IDL files are read without a preprocessor"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.idl);
        quelt::mw::TypeStore store;
        quelt::mw::idl::File idl;
        std::string err;
        EXPECT_FALSE(quelt::mw::idl::read_text(row.idl, "t.idl", store, idl, err));
        EXPECT_EQ(err.rfind(std::string("t.idl:") + row.line, 0), 0u) << err;
    }
    quelt::test::TempXml file(rows[0].idl, -1, ".idl");
    Library lib = load(kShapes);
    const auto before = lib->by_name;
    LogCapture log;
    const std::string config = std::string("<dds><types><struct name=\"X\"><member name=\"x\" type=\"int32\"/></struct>\n<include file=\"") +
                               file.path() + "\"/></types></dds>";
    EXPECT_EQ(DDS_TypeLibrary_load_string(lib.get(), config.c_str(), "c.xml"), DDS_RETCODE_ERROR);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"DDS_TypeLibrary_load_string: " + std::string(file.path()) + ":" + rows[0].line +
                                                    " (included at c.xml:2)\n"});
    EXPECT_EQ(lib->by_name, before);
}

} // namespace
