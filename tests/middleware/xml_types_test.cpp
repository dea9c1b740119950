// Type libraries from XML: what each construct turns into, and that every mistake is refused with
// one log line naming file and line while the library stays as it was.
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
            o << (m.is_default ? " default" : "") << "\n";
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

} // namespace
