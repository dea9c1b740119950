/* Canonical lines of the extensible types of Extensible.idl (Ext::App, Ext::Mut, Ext::Fin), in
 * the form of interop_lines.h: "DATA id=<key> ..." per sample, "DISPOSED id=<key>" for the
 * dispose of the instance of sample 0. Both the Cyclone DDS peer and the tests driving our
 * connector print what they receive this way and compare with the lines of ext_expected.
 *
 *   DATA id=app-1 count=4 items=[(10,s0)] nested=(-1,n1)
 *   DATA id=2 opt=- name=m1 value=1.5 shorts=[1] inner=(1,x1)     ("-": optional member absent)
 *   DATA id=2 big=1000000000007 s=f1
 *
 * Plain C and header-only, like interop_lines.h. */
#ifndef QUELT_EXT_LINES_H
#define QUELT_EXT_LINES_H

#include "interop_lines.h"

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { EXT_APP = 0, EXT_MUT = 1, EXT_FIN = 2 };

typedef struct ExtInnerFields {
    int32_t a;
    char s[9];
} ExtInnerFields;

/* Every member of the three types; which ones a line uses depends on the kind. */
typedef struct ExtFields {
    char key[16]; /* App: the string id; Mut, Fin: the number as text */
    /* App */
    int32_t count;
    uint32_t n_items;
    ExtInnerFields items[3];
    ExtInnerFields nested;
    /* Mut */
    int32_t id;
    bool has_opt;
    int32_t opt;
    char name[17];
    double value;
    uint32_t n_shorts;
    int16_t shorts[3];
    bool has_inner;
    ExtInnerFields inner;
    /* Fin (and id above) */
    int64_t big;
    char s[9];
} ExtFields;

static inline const char *ext_topic(int kind) { return kind == EXT_APP ? "AppTopic" : kind == EXT_MUT ? "MutTopic" : "FinTopic"; }

/* Sample i of a run: three instances, optional members present in some samples only. Numeric
 * keys start at 1: Fast DDS 2.9 takes an all-zero key hash for "no instance". */
static inline void ext_expected(int kind, uint32_t i, ExtFields *f) {
    memset(f, 0, sizeof *f);
    f->id = (int32_t)(i % INTEROP_INSTANCES) + 1;
    if (kind == EXT_APP)
        snprintf(f->key, sizeof f->key, "app-%u", (unsigned)(i % INTEROP_INSTANCES));
    else
        snprintf(f->key, sizeof f->key, "%d", (int)f->id);
    f->count = (int32_t)i * 7 - 3;
    f->n_items = i % 3;
    for (uint32_t k = 0; k < 3; k++) {
        f->items[k].a = (int32_t)(i * 10 + k);
        snprintf(f->items[k].s, sizeof f->items[k].s, "s%u", (unsigned)k);
    }
    f->nested.a = -(int32_t)i;
    snprintf(f->nested.s, sizeof f->nested.s, "n%u", (unsigned)(i % 1000));
    f->has_opt = i % 2 == 0;
    f->opt = -(int32_t)i;
    snprintf(f->name, sizeof f->name, "m%u", (unsigned)i);
    f->value = (double)i + 0.5;
    f->n_shorts = i % 4 < 3 ? i % 4 : 3;
    for (uint32_t k = 0; k < 3; k++)
        f->shorts[k] = (int16_t)((k % 2 ? -1 : 1) * (int32_t)(i + k));
    f->has_inner = i % 3 == 1;
    f->inner.a = (int32_t)i;
    snprintf(f->inner.s, sizeof f->inner.s, "x%u", (unsigned)(i % 10));
    f->big = (int64_t)i * INT64_C(1000000000007);
    snprintf(f->s, sizeof f->s, "f%u", (unsigned)(i % 1000));
}

static inline void ext_format(int kind, const ExtFields *f, char *buf, size_t n) {
    size_t pos = 0;
    INTEROP_APPENDF(buf, n, &pos, "DATA id=%s", f->key);
    if (kind == EXT_APP) {
        INTEROP_APPENDF(buf, n, &pos, " count=%d items=[", (int)f->count);
        for (uint32_t k = 0; k < f->n_items && k < 3; k++)
            INTEROP_APPENDF(buf, n, &pos, "%s(%d,%s)", k ? "," : "", (int)f->items[k].a, f->items[k].s);
        INTEROP_APPENDF(buf, n, &pos, "] nested=(%d,%s)", (int)f->nested.a, f->nested.s);
    } else if (kind == EXT_MUT) {
        if (f->has_opt)
            INTEROP_APPENDF(buf, n, &pos, " opt=%d", (int)f->opt);
        else
            INTEROP_APPENDF(buf, n, &pos, " opt=-");
        char value[32];
        interop_format_double(value, sizeof value, f->value);
        INTEROP_APPENDF(buf, n, &pos, " name=%s value=%s shorts=[", f->name, value);
        for (uint32_t k = 0; k < f->n_shorts && k < 3; k++)
            INTEROP_APPENDF(buf, n, &pos, "%s%d", k ? "," : "", (int)f->shorts[k]);
        if (f->has_inner)
            INTEROP_APPENDF(buf, n, &pos, "] inner=(%d,%s)", (int)f->inner.a, f->inner.s);
        else
            INTEROP_APPENDF(buf, n, &pos, "] inner=-");
    } else {
        INTEROP_APPENDF(buf, n, &pos, " big=%" PRId64 " s=%s", f->big, f->s);
    }
}

/* The lines of a run of count samples, then the dispose of sample 0's instance when asked. */
static inline void ext_expected_line(int kind, uint32_t i, char *buf, size_t n) {
    ExtFields f;
    ext_expected(kind, i, &f);
    ext_format(kind, &f, buf, n);
}

static inline void ext_disposed_line(int kind, char *buf, size_t n) {
    ExtFields f;
    ext_expected(kind, 0, &f);
    interop_format_state(buf, n, "DISPOSED", "id", f.key);
}

#ifdef __cplusplus
}
#endif

#endif
