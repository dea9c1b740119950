// Type codes from IDL files, parsed by Cyclone DDS's IDL library (the parser behind idlc), and
// written back as DDS-XML <types>, so that a user can see what was read.
//
// IDL is read without a preprocessor: #include, #define and #ifdef are refused. Every construct
// the type codes cannot carry (bitmasks, fixed point, forward declarations, annotations that
// would change the wire form) fails the whole file with one "file:line:col: message" line.
#pragma once

#include "types/typecode.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quelt::mw::idl {

// A named type or a constant of the file, in declaration order.
struct Declaration {
    std::string name;                    // scoped: "A::B::T"
    const DDS_TypeCode *type = nullptr;  // the type itself, or a constant's type
    bool constant = false;
    // Constants: the value as the XML form writes it; integral ones also as a number.
    std::string value;
    bool integral = false;
    bool negative = false;
    uint64_t magnitude = 0;
};

struct File {
    std::vector<Declaration> declarations;
    std::vector<std::string> warnings; // "file:line:col: warning: ...", for annotations without effect here
};

// Builds the types of the IDL file at path in store. err is "path:line:col: message" (or
// "path: message" when the file cannot be read). The types built before a failure stay in
// store, unnamed: callers use a store they throw away on failure.
bool read_file(const std::string &path, TypeStore &store, File &out, std::string &err);
// The same for IDL text; name stands for the file in messages.
bool read_text(const std::string &text, const std::string &name, TypeStore &store, File &out, std::string &err);

// The declarations as a DDS-XML document: <dds><types> with modules, structs, unions, enums,
// typedefs and constants, which the XML type reader turns back into the same type codes.
std::string to_xml(const File &file);

} // namespace quelt::mw::idl
