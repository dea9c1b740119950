/* Accessors over Cyclone DDS's IDL tree, in C because its headers are C only. */
#include "types/idl_tree.h"

#include <idl/processor.h>
#include <idl/tree.h>

#include <stddef.h>

int qidl_parse(const char *text, void **state)
{
    idl_pstate_t *ps = NULL;
    idl_retcode_t rc = idl_create_pstate(IDL_FLAG_ANNOTATIONS | IDL_FLAG_EXTENDED_DATA_TYPES | IDL_FLAG_CASE_SENSITIVE, NULL, &ps);
    *state = ps;
    if (rc != IDL_RETCODE_OK)
        return rc;
    /* Final, as in the XML form, and without the library's warning about it. */
    ps->config.default_extensibility = IDL_FINAL;
    return idl_parse_string(ps, text);
}

const void *qidl_root(const void *state) { return ((const idl_pstate_t *)state)->root; }
void qidl_delete(void *state) { if (state) idl_delete_pstate(state); }

enum qidl_node qidl_node_kind(const void *n)
{
    if (idl_is_module(n)) return QIDL_MODULE;
    if (idl_is_forward(n)) return QIDL_FORWARD;
    if (idl_is_struct(n)) return QIDL_STRUCT;
    if (idl_is_union(n)) return QIDL_UNION;
    if (idl_is_enum(n)) return QIDL_ENUM;
    if (idl_is_bitmask(n)) return QIDL_BITMASK;
    if (idl_is_typedef(n)) return QIDL_TYPEDEF;
    if (idl_is_const(n)) return QIDL_CONST;
    if (idl_mask(n) & IDL_ANNOTATION) return QIDL_ANNOTATION_DECL;
    return QIDL_OTHER;
}

const void *qidl_next(const void *n) { return idl_next(n); }
const char *qidl_identifier(const void *n) { return idl_name(n) ? idl_identifier(n) : NULL; }
const char *qidl_construct(const void *n) { return idl_construct(n); }
void qidl_location(const void *n, uint32_t *line, uint32_t *column)
{
    const idl_location_t *l = idl_location(n);
    *line = l->first.line;
    *column = l->first.column;
}
const void *qidl_annotations(const void *n) { return ((const idl_node_t *)n)->annotations; }
const char *qidl_annotation_name(const void *a) { return idl_identifier(((const idl_annotation_appl_t *)a)->annotation); }

enum qidl_type qidl_type_of(const void *spec)
{
    switch (idl_type(spec)) {
    case IDL_STRUCT: case IDL_UNION: case IDL_ENUM: case IDL_TYPEDEF: return QIDL_T_NAMED;
    case IDL_STRING: return QIDL_T_STRING;
    case IDL_WSTRING: return QIDL_T_WSTRING;
    case IDL_SEQUENCE: return QIDL_T_SEQUENCE;
    case IDL_FIXED_PT: return QIDL_T_FIXED;
    case IDL_ANY: return QIDL_T_ANY;
    case IDL_BOOL: return QIDL_T_BOOL;
    case IDL_CHAR: return QIDL_T_CHAR;
    case IDL_WCHAR: return QIDL_T_WCHAR;
    case IDL_OCTET: return QIDL_T_OCTET;
    case IDL_INT8: return QIDL_T_INT8;
    case IDL_UINT8: return QIDL_T_UINT8;
    case IDL_SHORT: case IDL_INT16: return QIDL_T_INT16;
    case IDL_USHORT: case IDL_UINT16: return QIDL_T_UINT16;
    case IDL_LONG: case IDL_INT32: return QIDL_T_INT32;
    case IDL_ULONG: case IDL_UINT32: return QIDL_T_UINT32;
    case IDL_LLONG: case IDL_INT64: return QIDL_T_INT64;
    case IDL_ULLONG: case IDL_UINT64: return QIDL_T_UINT64;
    case IDL_FLOAT: return QIDL_T_FLOAT;
    case IDL_DOUBLE: return QIDL_T_DOUBLE;
    case IDL_LDOUBLE: return QIDL_T_LDOUBLE;
    default: return QIDL_T_OTHER;
    }
}

uint32_t qidl_bound(const void *spec)
{
    if (idl_is_sequence(spec))
        return ((const idl_sequence_t *)spec)->maximum;
    return ((const idl_string_t *)spec)->maximum;
}
const void *qidl_element(const void *spec) { return ((const idl_sequence_t *)spec)->type_spec; }

static int extensibility(idl_extensibility_t e) { return e == IDL_MUTABLE ? QIDL_MUTABLE : e == IDL_APPENDABLE ? QIDL_APPENDABLE : QIDL_FINAL; }
int qidl_extensibility(const void *n)
{
    return extensibility(idl_is_struct(n) ? ((const idl_struct_t *)n)->extensibility.value : ((const idl_union_t *)n)->extensibility.value);
}

const void *qidl_module_definitions(const void *m) { return ((const idl_module_t *)m)->definitions; }

const void *qidl_struct_base(const void *s)
{
    const idl_inherit_spec_t *i = ((const idl_struct_t *)s)->inherit_spec;
    return i ? i->base : NULL;
}
int qidl_struct_hashed(const void *s)
{
    const idl_struct_t *st = s;
    return st->autoid.annotation && st->autoid.value == IDL_HASH;
}
const void *qidl_struct_members(const void *s) { return ((const idl_struct_t *)s)->members; }
const void *qidl_member_type(const void *m) { return ((const idl_member_t *)m)->type_spec; }
const void *qidl_member_declarators(const void *m) { return ((const idl_member_t *)m)->declarators; }
int qidl_member_key(const void *m) { return ((const idl_member_t *)m)->key.value; }
int qidl_member_optional(const void *m) { return ((const idl_member_t *)m)->optional.value; }
const void *qidl_member_default(const void *m) { return idl_default_value(m); }
int qidl_declarator_id(const void *d, uint32_t *id)
{
    const idl_declarator_t *dc = d;
    *id = dc->id.value;
    return dc->id.annotation != NULL;
}
const void *qidl_declarator_sizes(const void *d) { return ((const idl_declarator_t *)d)->const_expr; }
uint32_t qidl_size_value(const void *size) { return ((const idl_literal_t *)size)->value.uint32; }

const void *qidl_union_switch(const void *u) { return ((const idl_union_t *)u)->switch_type_spec; }
const void *qidl_union_switch_type(const void *u) { return ((const idl_union_t *)u)->switch_type_spec->type_spec; }
const void *qidl_union_cases(const void *u) { return ((const idl_union_t *)u)->cases; }
const void *qidl_case_labels(const void *c) { return ((const idl_case_t *)c)->labels; }
int qidl_label_is_default(const void *l) { return idl_mask(l) == IDL_DEFAULT_CASE_LABEL; }
int64_t qidl_label_value(const void *l) { return idl_case_label_intvalue(l); }
const void *qidl_case_type(const void *c) { return ((const idl_case_t *)c)->type_spec; }
const void *qidl_case_declarator(const void *c) { return ((const idl_case_t *)c)->declarator; }

const void *qidl_enum_bit_bound(const void *e, uint32_t *bits)
{
    const idl_enum_t *en = e;
    *bits = en->bit_bound.value;
    return en->bit_bound.annotation;
}
const void *qidl_enum_enumerators(const void *e) { return ((const idl_enum_t *)e)->enumerators; }
uint32_t qidl_enumerator_value(const void *n) { return ((const idl_enumerator_t *)n)->value.value; }

const void *qidl_typedef_type(const void *t) { return ((const idl_typedef_t *)t)->type_spec; }
const void *qidl_typedef_declarators(const void *t) { return ((const idl_typedef_t *)t)->declarators; }
const void *qidl_const_type(const void *c) { return ((const idl_const_t *)c)->type_spec; }
const void *qidl_const_value(const void *c) { return ((const idl_const_t *)c)->const_expr; }

void qidl_value_of(const void *expr, struct qidl_value *v)
{
    v->kind = QIDL_V_NONE;
    v->i = 0;
    v->u = 0;
    v->f = 0;
    v->s = NULL;
    if (idl_is_enumerator(expr)) {
        v->kind = QIDL_V_ENUMERATOR;
        v->i = (int32_t)((const idl_enumerator_t *)expr)->value.value;
        v->s = idl_identifier(expr);
        return;
    }
    if (!idl_is_literal(expr))
        return;
    const idl_literal_t *l = expr;
    switch (idl_type(l)) {
    case IDL_BOOL: v->kind = QIDL_V_BOOL; v->i = l->value.bln; break;
    case IDL_CHAR: v->kind = QIDL_V_UNSIGNED; v->u = (unsigned char)l->value.chr; break;
    case IDL_INT8: v->kind = QIDL_V_SIGNED; v->i = l->value.int8; break;
    case IDL_OCTET: case IDL_UINT8: v->kind = QIDL_V_UNSIGNED; v->u = l->value.uint8; break;
    case IDL_SHORT: case IDL_INT16: v->kind = QIDL_V_SIGNED; v->i = l->value.int16; break;
    case IDL_USHORT: case IDL_UINT16: v->kind = QIDL_V_UNSIGNED; v->u = l->value.uint16; break;
    case IDL_LONG: case IDL_INT32: v->kind = QIDL_V_SIGNED; v->i = l->value.int32; break;
    case IDL_ULONG: case IDL_UINT32: v->kind = QIDL_V_UNSIGNED; v->u = l->value.uint32; break;
    case IDL_LLONG: case IDL_INT64: v->kind = QIDL_V_SIGNED; v->i = l->value.int64; break;
    case IDL_ULLONG: case IDL_UINT64: v->kind = QIDL_V_UNSIGNED; v->u = l->value.uint64; break;
    case IDL_FLOAT: v->kind = QIDL_V_FLOAT; v->f = l->value.flt; break;
    case IDL_DOUBLE: v->kind = QIDL_V_DOUBLE; v->f = l->value.dbl; break;
    case IDL_LDOUBLE: v->kind = QIDL_V_LDOUBLE; v->f = l->value.ldbl; break;
    case IDL_STRING: v->kind = QIDL_V_STRING; v->s = l->value.str ? l->value.str : ""; break;
    default: break;
    }
}
