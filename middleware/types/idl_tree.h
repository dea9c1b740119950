/* The parts of Cyclone DDS's IDL tree that idl_types.cpp reads. The library's headers are C only
   (they name enums before declaring them), so these plain accessors, compiled as C, stand between
   them and C++. Nodes are the library's, passed as opaque pointers. */
#ifndef QUELT_IDL_TREE_H
#define QUELT_IDL_TREE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Parses text; the state owns the tree. Returns the library's code (0 for success). */
int qidl_parse(const char *text, void **state);
const void *qidl_root(const void *state);
void qidl_delete(void *state);

enum qidl_node { QIDL_OTHER, QIDL_MODULE, QIDL_STRUCT, QIDL_UNION, QIDL_ENUM, QIDL_TYPEDEF, QIDL_CONST, QIDL_FORWARD, QIDL_BITMASK,
                 QIDL_ANNOTATION_DECL };
enum qidl_node qidl_node_kind(const void *node);
const void *qidl_next(const void *node);
const char *qidl_identifier(const void *node); /* NULL when the node has no name */
const char *qidl_construct(const void *node);
void qidl_location(const void *node, uint32_t *line, uint32_t *column);
const void *qidl_annotations(const void *node); /* the first application; the others follow by qidl_next */
const char *qidl_annotation_name(const void *appl);

/* Type specifiers. A named type (struct, union, enum, typedef declarator) is QIDL_T_NAMED: the
   node is the declaration itself. */
enum qidl_type { QIDL_T_NAMED, QIDL_T_OTHER, QIDL_T_ANY, QIDL_T_FIXED, QIDL_T_STRING, QIDL_T_WSTRING, QIDL_T_SEQUENCE, QIDL_T_BOOL,
                 QIDL_T_CHAR, QIDL_T_WCHAR, QIDL_T_OCTET, QIDL_T_INT8, QIDL_T_UINT8, QIDL_T_INT16, QIDL_T_UINT16, QIDL_T_INT32,
                 QIDL_T_UINT32, QIDL_T_INT64, QIDL_T_UINT64, QIDL_T_FLOAT, QIDL_T_DOUBLE, QIDL_T_LDOUBLE };
enum qidl_type qidl_type_of(const void *spec);
uint32_t qidl_bound(const void *spec);           /* string, sequence: 0 unbounded */
const void *qidl_element(const void *spec);      /* sequence */

enum { QIDL_FINAL, QIDL_APPENDABLE, QIDL_MUTABLE };
int qidl_extensibility(const void *node);        /* struct, union */

const void *qidl_module_definitions(const void *module);

const void *qidl_struct_base(const void *s);     /* NULL without inheritance */
int qidl_struct_hashed(const void *s);           /* @autoid(HASH) */
const void *qidl_struct_members(const void *s);
const void *qidl_member_type(const void *m);
const void *qidl_member_declarators(const void *m);
int qidl_member_key(const void *m);
int qidl_member_optional(const void *m);
const void *qidl_member_default(const void *m);  /* the @default value, or NULL */
int qidl_declarator_id(const void *d, uint32_t *id); /* 1 when an annotation gave the id */
const void *qidl_declarator_sizes(const void *d);    /* array sizes, or NULL */
uint32_t qidl_size_value(const void *size);

const void *qidl_union_switch(const void *u);    /* the switch specifier: carries its annotations */
const void *qidl_union_switch_type(const void *u);
const void *qidl_union_cases(const void *u);
const void *qidl_case_labels(const void *c);
int qidl_label_is_default(const void *label);
int64_t qidl_label_value(const void *label);
const void *qidl_case_type(const void *c);
const void *qidl_case_declarator(const void *c);

const void *qidl_enum_bit_bound(const void *e, uint32_t *bits); /* the annotation, or NULL */
const void *qidl_enum_enumerators(const void *e);
uint32_t qidl_enumerator_value(const void *n);

const void *qidl_typedef_type(const void *t);
const void *qidl_typedef_declarators(const void *t);
const void *qidl_const_type(const void *c);
const void *qidl_const_value(const void *c);

/* A constant expression's value. */
enum qidl_value_kind { QIDL_V_NONE, QIDL_V_ENUMERATOR, QIDL_V_BOOL, QIDL_V_SIGNED, QIDL_V_UNSIGNED, QIDL_V_FLOAT, QIDL_V_DOUBLE,
                       QIDL_V_LDOUBLE, QIDL_V_STRING };
struct qidl_value {
    enum qidl_value_kind kind;
    int64_t i;       /* bool, signed; enumerator value */
    uint64_t u;      /* unsigned (char: its code) */
    long double f;   /* float, double, long double */
    const char *s;   /* string; enumerator name */
};
void qidl_value_of(const void *expr, struct qidl_value *v);

#ifdef __cplusplus
}
#endif

#endif
