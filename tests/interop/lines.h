/* The samples of the interoperability tests as canonical text, shared by the Cyclone DDS peer
 * (C) and the tests driving our connector: both sides print each sample they receive as one line
 * and compare with the lines expected from the sample index, so a difference in any member, key
 * or instance state shows as a differing line.
 *
 *   DATA id=key-1 s16=-1 i32=1000 i64=10000000000 u32=4000000001 f64=1.25 label=L1 values=[1] where=(1,-1) level=1
 *   DATA color=RED x=0 y=200 shapesize=20
 *   DATA id=app-1 count=4 items=[(10,s0)] nested=(-1,n1)
 *   DATA id=2 opt=- name=m1 value=1.5 shorts=[1] inner=(1,x1)     ("-": optional member absent)
 *   DATA id=2 big=1000000000007 s=f1
 *   DISPOSED id=key-0           (once per change of an instance's state; also UNREGISTERED)
 *
 * Lines starting with '#' are comments ("# matched"). The word after the kind is the key: a
 * reader may hand out instances in any order, but within one instance the order is the writer's. */
#ifndef QUELT_INTEROP_LINES_H
#define QUELT_INTEROP_LINES_H

#include <inttypes.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The every-kind type Interop::Sample, ShapeType, and the extensible types of Extensible.idl:
 * appendable (our XML version has one more trailing member), mutable with optional members (our
 * XML lists them in another order, with ids), final (still XCDR1). */
enum { T_SAMPLE, T_SHAPE, T_APP, T_MUT, T_FIN };
static const char *const type_names[] = {"sample", "shape", "app", "mut", "fin"};
static const char *const type_topics[] = {"InteropTopic", "Square", "AppTopic", "MutTopic", "FinTopic"};

#define MATCHED_LINE "# matched"
#define INSTANCES 3u

typedef struct Inner {
    int32_t a;
    char s[9];
} Inner;

/* Every member of every type; which ones a line shows depends on the type. */
typedef struct Fields {
    char key[40]; /* the key as text: Sample's and App's id, Shape's color, Mut's and Fin's number */
    int32_t id;   /* Mut, Fin */
    int16_t s16;  /* Sample */
    int32_t i32;
    int64_t i64;
    uint32_t u32;
    double f64;
    char label[17];
    uint32_t n_values;
    int32_t values[3];
    int32_t where_x, where_y, level; /* level: the enumerator's value */
    int32_t x, y, shapesize;         /* Shape */
    int32_t count;                   /* App */
    uint32_t n_items;
    Inner items[3];
    Inner nested;
    bool has_opt; /* Mut */
    int32_t opt;
    char name[17];
    double value;
    uint32_t n_shorts;
    int16_t shorts[3];
    bool has_inner;
    Inner inner;
    int64_t big; /* Fin */
    char s[9];
} Fields;

static inline const char *key_name(int type) { return type == T_SHAPE ? "color" : "id"; }

/* Sample i of a run: three instances; sequences of 0 to 3 elements; optional members present in
 * some samples only. Numeric keys start at 1: Fast DDS 2.9 takes an all-zero key hash for "no
 * instance". The key of Sample fits the 16-byte key hash, Shape's longer one is hashed with MD5. */
static inline void expected(int type, uint32_t i, Fields *f) {
    static const char *const colors[INSTANCES] = {"RED", "GREEN", "BLUE"};
    const unsigned k3 = (unsigned)(i % INSTANCES);
    memset(f, 0, sizeof *f);
    f->id = (int32_t)k3 + 1;
    if (type == T_SAMPLE)
        snprintf(f->key, sizeof f->key, "key-%u", k3);
    else if (type == T_SHAPE)
        snprintf(f->key, sizeof f->key, "%s", colors[k3]);
    else if (type == T_APP)
        snprintf(f->key, sizeof f->key, "app-%u", k3);
    else
        snprintf(f->key, sizeof f->key, "%d", (int)f->id);
    f->s16 = (int16_t) - (int32_t)i;
    f->i32 = (int32_t)i * 1000;
    f->i64 = (int64_t)i * INT64_C(10000000000);
    f->u32 = UINT32_C(4000000000) + i;
    f->f64 = (double)i + 0.25;
    snprintf(f->label, sizeof f->label, "L%u", (unsigned)i);
    f->n_values = i % 4 < 3 ? i % 4 : 3;
    for (uint32_t k = 0; k < 3; k++) {
        f->values[k] = (int32_t)(i + k);
        f->items[k].a = (int32_t)(i * 10 + k);
        snprintf(f->items[k].s, sizeof f->items[k].s, "s%u", (unsigned)k);
        f->shorts[k] = (int16_t)((k % 2 ? -1 : 1) * (int32_t)(i + k));
    }
    f->where_x = (int32_t)i;
    f->where_y = -(int32_t)i;
    f->level = (int32_t)(i % 3);
    f->x = (int32_t)i * 10;
    f->y = 200 - (int32_t)i;
    f->shapesize = 20 + (int32_t)(i % 5);
    f->count = (int32_t)i * 7 - 3;
    f->n_items = i % 3;
    f->nested.a = -(int32_t)i;
    snprintf(f->nested.s, sizeof f->nested.s, "n%u", (unsigned)(i % 1000));
    f->has_opt = i % 2 == 0;
    f->opt = -(int32_t)i;
    snprintf(f->name, sizeof f->name, "m%u", (unsigned)i);
    f->value = (double)i + 0.5;
    f->n_shorts = f->n_values;
    f->has_inner = i % 3 == 1;
    f->inner.a = (int32_t)i;
    snprintf(f->inner.s, sizeof f->inner.s, "x%u", (unsigned)(i % 10));
    f->big = (int64_t)i * INT64_C(1000000000007);
    snprintf(f->s, sizeof f->s, "f%u", (unsigned)(i % 1000));
}

/* Appends to buf at *pos, never past n. */
#define APPENDF(buf, n, pos, ...)                                                                                      \
    do {                                                                                                               \
        int w_ = snprintf((buf) + (*(pos) < (n) ? *(pos) : (n)), *(pos) < (n) ? (n) - *(pos) : 0, __VA_ARGS__);       \
        if (w_ > 0)                                                                                                    \
            *(pos) += (size_t)w_;                                                                                      \
    } while (0)

/* Shortest text that reads back as the same double, so equal values print equally on both sides. */
static inline const char *format_double(char *buf, size_t n, double v) {
    for (int prec = 1; prec <= 17; prec++) {
        snprintf(buf, n, "%.*g", prec, v);
        if (strtod(buf, NULL) == v)
            break;
    }
    return buf;
}

/* The DATA line of a sample of type. */
static inline void format_data(int type, const Fields *f, char *buf, size_t n) {
    size_t pos = 0;
    char d[32];
    APPENDF(buf, n, &pos, "DATA %s=%s", key_name(type), f->key);
    if (type == T_SAMPLE) {
        APPENDF(buf, n, &pos, " s16=%d i32=%" PRId32 " i64=%" PRId64 " u32=%" PRIu32 " f64=%s label=%s values=[", (int)f->s16,
                f->i32, f->i64, f->u32, format_double(d, sizeof d, f->f64), f->label);
        for (uint32_t k = 0; k < f->n_values && k < 3; k++)
            APPENDF(buf, n, &pos, k ? ",%" PRId32 : "%" PRId32, f->values[k]);
        APPENDF(buf, n, &pos, "] where=(%" PRId32 ",%" PRId32 ") level=%" PRId32, f->where_x, f->where_y, f->level);
    } else if (type == T_SHAPE) {
        APPENDF(buf, n, &pos, " x=%" PRId32 " y=%" PRId32 " shapesize=%" PRId32, f->x, f->y, f->shapesize);
    } else if (type == T_APP) {
        APPENDF(buf, n, &pos, " count=%d items=[", (int)f->count);
        for (uint32_t k = 0; k < f->n_items && k < 3; k++)
            APPENDF(buf, n, &pos, "%s(%d,%s)", k ? "," : "", (int)f->items[k].a, f->items[k].s);
        APPENDF(buf, n, &pos, "] nested=(%d,%s)", (int)f->nested.a, f->nested.s);
    } else if (type == T_MUT) {
        if (f->has_opt)
            APPENDF(buf, n, &pos, " opt=%d", (int)f->opt);
        else
            APPENDF(buf, n, &pos, " opt=-");
        APPENDF(buf, n, &pos, " name=%s value=%s shorts=[", f->name, format_double(d, sizeof d, f->value));
        for (uint32_t k = 0; k < f->n_shorts && k < 3; k++)
            APPENDF(buf, n, &pos, "%s%d", k ? "," : "", (int)f->shorts[k]);
        if (f->has_inner)
            APPENDF(buf, n, &pos, "] inner=(%d,%s)", (int)f->inner.a, f->inner.s);
        else
            APPENDF(buf, n, &pos, "] inner=-");
    } else {
        APPENDF(buf, n, &pos, " big=%" PRId64 " s=%s", f->big, f->s);
    }
}

/* Line i of a run of count samples: the samples, then the dispose of sample 0's instance. */
static inline void expected_line(int type, uint32_t count, uint32_t i, char *buf, size_t n) {
    Fields f;
    expected(type, i < count ? i : 0, &f);
    if (i < count)
        format_data(type, &f, buf, n);
    else
        snprintf(buf, n, "DISPOSED %s=%s", key_name(type), f.key);
}

/* Instance states as the tracker sees them. */
enum { ALIVE, DISPOSED, UNREGISTERED };
#define TRACKED_MAX 32

/* Turns the instance states of taken samples into DISPOSED / UNREGISTERED lines. A reader may
 * report a dispose as a sample without data or only as the instance state of data taken with
 * it; one line per change of state, after the batch that showed it, reads the same either way:
 * note() every taken sample, then flush() once per take. */
typedef struct Tracker {
    size_t n;
    char key[TRACKED_MAX][40];
    int state[TRACKED_MAX], reported[TRACKED_MAX];
} Tracker;

/* Returns 0 when the tracker is full (more instances than any test uses). */
static inline int tracker_note(Tracker *t, const char *key, int state) {
    size_t i = 0;
    while (i < t->n && strcmp(t->key[i], key))
        i++;
    if (i == t->n) {
        if (t->n == TRACKED_MAX)
            return 0;
        snprintf(t->key[i], sizeof t->key[i], "%s", key);
        t->reported[t->n++] = ALIVE;
    }
    t->state[i] = state;
    if (state == ALIVE)
        t->reported[i] = ALIVE;
    return 1;
}

/* Writes the next due state line into buf and returns 1, or returns 0 when none is due. */
static inline int tracker_flush(Tracker *t, int type, char *buf, size_t n) {
    for (size_t i = 0; i < t->n; i++)
        if (t->state[i] != ALIVE && t->state[i] != t->reported[i]) {
            t->reported[i] = t->state[i];
            snprintf(buf, n, "%s %s=%s", t->state[i] == DISPOSED ? "DISPOSED" : "UNREGISTERED", key_name(type), t->key[i]);
            return 1;
        }
    return 0;
}

/* The instance word of a line ("id=key-1"), without the kind. */
static inline const char *line_key(const char *line, size_t *len) {
    const char *sp = strchr(line, ' ');
    if (!sp) {
        *len = 0;
        return line + strlen(line);
    }
    const char *end = strchr(sp + 1, ' ');
    *len = end ? (size_t)(end - sp - 1) : strlen(sp + 1);
    return sp + 1;
}

static inline int same_instance(const char *a, const char *b) {
    size_t la, lb;
    const char *ka = line_key(a, &la), *kb = line_key(b, &lb);
    return la == lb && !memcmp(ka, kb, la);
}

/* Whether received lines agree with expected ones: as many, and per instance the same lines in
 * the same order. Otherwise 0 with the first difference in why. */
static inline int lines_agree(const char *const *expect, size_t n_expect, const char *const *got, size_t n_got, char *why,
                              size_t why_len) {
    snprintf(why, why_len, "received %zu lines, expected %zu", n_got, n_expect);
    for (size_t i = 0; i < n_expect; i++) {
        int first = 1; /* the first expected line of its instance walks that instance */
        for (size_t j = 0; j < i && first; j++)
            first = !same_instance(expect[j], expect[i]);
        if (!first)
            continue;
        size_t a = 0;
        for (size_t e = i; e < n_expect; e++) {
            if (!same_instance(expect[e], expect[i]))
                continue;
            while (a < n_got && !same_instance(got[a], expect[i]))
                a++;
            if (a == n_got) {
                snprintf(why, why_len, "missing: %s", expect[e]);
                return 0;
            }
            if (strcmp(got[a], expect[e])) {
                snprintf(why, why_len, "line %zu\n  expected: %s\n  received: %s", a + 1, expect[e], got[a]);
                return 0;
            }
            a++;
        }
    }
    return n_got == n_expect;
}

#ifdef __cplusplus
}
#endif

#endif
