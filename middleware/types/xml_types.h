// Reading DDS-XML configuration files: the <types> sections (XTypes XML type representation) and
// the helpers every other section reader shares (file loading, "file:line: message" errors,
// booleans and integers as attribute values).
#pragma once

#include "types/typecode.h"

#include <tinyxml2.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quelt::mw::xml {

// "file:line: message", the one form every XML mistake is reported in.
std::string error_at(const char *file, int line, std::string_view msg);
std::string error_at(const char *file, const tinyxml2::XMLElement *e, std::string_view msg);
// The line of attribute name of e, or e's own line when the attribute is missing.
int attribute_line(const tinyxml2::XMLElement *e, const char *name);

// Reads the whole file into text; err is "path: why" on failure.
bool read_file(const char *path, std::string &text, std::string &err);
// Parses text into doc; err is "file:line: ..." when the text is not well-formed XML.
bool parse_document(tinyxml2::XMLDocument &doc, const std::string &text, const char *file, std::string &err);
// The <dds> root of doc; err explains what is there instead.
const tinyxml2::XMLElement *dds_root(const tinyxml2::XMLDocument &doc, const char *file, std::string &err);

// "true", "false", "1" or "0", nothing else.
bool parse_bool(const char *text, bool &out);

// An integer literal (decimal or 0x hex, optional sign). Kept as sign and magnitude so that the
// whole range of both int64 and uint64 fits.
struct Integer {
    bool negative = false;
    uint64_t magnitude = 0;
    // Two's complement bits; uint64 values above INT64_MAX wrap, as union discriminators store them.
    int64_t as_int64() const { return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude); }
    bool in_range(int64_t lo, uint64_t hi) const
    {
        if (!negative || magnitude == 0)
            return magnitude <= hi;
        return lo < 0 && magnitude - 1 <= static_cast<uint64_t>(-(lo + 1));
    }
};
// Leading and trailing blanks are allowed; octal is not (a leading 0 is decimal).
bool parse_integer_literal(std::string_view text, Integer &out);

// Types and constants read from one or more <types> elements, held apart from the library until
// commit() so that a load either adds everything or nothing. Constants are visible to every
// <types> element parsed by the same loader, but are not kept in the library.
class TypeLoader {
  public:
    explicit TypeLoader(const DDS_TypeLibrary &lib);
    ~TypeLoader();
    TypeLoader(const TypeLoader &) = delete;
    TypeLoader &operator=(const TypeLoader &) = delete;

    // Parses one <types> element. After a failure (err = "file:line: message") the loader must
    // not be committed.
    bool parse(const tinyxml2::XMLElement *types, const char *file, std::string &err);
    // Moves what was parsed into lib, the library given to the constructor. Either completes or
    // throws std::bad_alloc with lib unchanged.
    void commit(DDS_TypeLibrary &lib);

  private:
    struct State;
    std::unique_ptr<State> s_;
};

// Parses one <types> element into lib: all its types, or none of them.
bool parse_types_element(DDS_TypeLibrary &lib, const tinyxml2::XMLElement *types, const char *file, std::string &err);
// Parses every <types> child of the <dds> root of doc into lib: all of them, or none.
bool load_types_document(DDS_TypeLibrary &lib, const tinyxml2::XMLDocument &doc, const char *file, std::string &err);

} // namespace quelt::mw::xml
