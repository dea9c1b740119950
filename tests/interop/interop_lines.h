/* Canonical text of the samples exchanged by the interoperability tests.
 *
 * Both sides of a test (the Cyclone DDS peer and a test driving our layer) print every sample
 * they receive as one line of this form and compare the lines with the ones expected from the
 * sample index, so a difference in any member, in the key or in the instance state shows up as
 * a differing line rather than as a failed field-by-field assertion deep in one of the programs.
 *
 *   DATA id=key-1 s16=-1 i32=1000 i64=10000000000 u32=4000000001 f64=1.25 label=L1 values=[1] where=(1,-1) level=1
 *   DISPOSED id=key-0                (once per change of the instance state, see below)
 *   UNREGISTERED id=key-2
 *   DATA color=RED x=0 y=200 shapesize=20          (ShapeType)
 *
 * Lines starting with '#' are comments (INTEROP_MATCHED_LINE) and take no part in comparisons.
 *
 * The first word after the kind is always the key, which is what line comparison groups by:
 * a reader may hand out samples of different instances in any order, but within one instance
 * the order is the writer's.
 *
 * Plain C (the peer is C) and header-only; every function is static inline. */
#ifndef QUELT_INTEROP_LINES_H
#define QUELT_INTEROP_LINES_H

#include <inttypes.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One Interop::Sample as plain values; pointers are borrowed. */
typedef struct InteropFields {
    const char *id;
    int16_t s16;
    int32_t i32;
    int64_t i64;
    uint32_t u32;
    double f64;
    const char *label;
    const int32_t *values;
    uint32_t n_values;
    int32_t where_x;
    int32_t where_y;
    int32_t level; /* enumerator value: LOW 0, MEDIUM 1, HIGH 2 */
} InteropFields;

/* One ShapeType as plain values. */
typedef struct ShapeFields {
    const char *color;
    int32_t x;
    int32_t y;
    int32_t shapesize;
} ShapeFields;

/* The sample that writers send as number i, with the storage its pointers refer to. */
typedef struct InteropExpected {
    InteropFields f;
    char id[16];
    char label[17];
    int32_t values[3];
} InteropExpected;

typedef struct ShapeExpected {
    ShapeFields f;
} ShapeExpected;

/* Printed by a peer when its writer or reader has matched the other side. */
#define INTEROP_MATCHED_LINE "# matched"

/* Three instances, so every instance gets several samples and a dispose of one of them leaves
 * the others alive. */
#define INTEROP_INSTANCES 3u
/* The instance writers dispose after their samples: the one of sample 0. */
#define INTEROP_DISPOSED_ID "key-0"
#define SHAPE_DISPOSED_COLOR "RED"

static inline void interop_expected(uint32_t i, InteropExpected *e) {
    memset(e, 0, sizeof *e);
    snprintf(e->id, sizeof e->id, "key-%u", (unsigned)(i % INTEROP_INSTANCES));
    snprintf(e->label, sizeof e->label, "L%u", (unsigned)i);
    for (uint32_t k = 0; k < 3; k++)
        e->values[k] = (int32_t)(i + k);
    e->f.id = e->id;
    e->f.s16 = (int16_t)-(int32_t)i;
    e->f.i32 = (int32_t)i * 1000;
    e->f.i64 = (int64_t)i * INT64_C(10000000000);
    e->f.u32 = UINT32_C(4000000000) + i;
    e->f.f64 = (double)i + 0.25;
    e->f.label = e->label;
    e->f.values = e->values;
    e->f.n_values = i % 4 < 3 ? i % 4 : 3; /* [i, i+1, i+2] cut to i%4 elements */
    e->f.where_x = (int32_t)i;
    e->f.where_y = -(int32_t)i;
    e->f.level = (int32_t)(i % 3);
}

static inline void shape_expected(uint32_t i, ShapeExpected *e) {
    static const char *const colors[INTEROP_INSTANCES] = {"RED", "GREEN", "BLUE"};
    e->f.color = colors[i % INTEROP_INSTANCES];
    e->f.x = (int32_t)i * 10;
    e->f.y = 200 - (int32_t)i;
    e->f.shapesize = 20 + (int32_t)(i % 5);
}

/* Appends to buf at *pos, never past n; *pos keeps counting so truncation can be detected. */
#define INTEROP_APPENDF(buf, n, pos, ...)                                                    \
    do {                                                                                     \
        int w_ = snprintf((buf) + (*(pos) < (n) ? *(pos) : (n)), *(pos) < (n) ? (n) - *(pos) : 0, \
                          __VA_ARGS__);                                                      \
        if (w_ > 0)                                                                          \
            *(pos) += (size_t)w_;                                                            \
    } while (0)

/* Shortest text that reads back as the same double, so equal values print equally on both
 * sides whatever their printf defaults are. */
static inline void interop_format_double(char *buf, size_t n, double v) {
    for (int prec = 1; prec <= 17; prec++) {
        snprintf(buf, n, "%.*g", prec, v);
        if (strtod(buf, NULL) == v)
            return;
    }
}

/* The DATA line of a sample; returns the length the full line needs (>= n: truncated). */
static inline size_t interop_format_data(char *buf, size_t n, const InteropFields *f) {
    size_t pos = 0;
    char dbl[32];
    interop_format_double(dbl, sizeof dbl, f->f64);
    INTEROP_APPENDF(buf, n, &pos, "DATA id=%s s16=%d i32=%" PRId32 " i64=%" PRId64 " u32=%" PRIu32 " f64=%s label=%s values=[",
                    f->id ? f->id : "", (int)f->s16, f->i32, f->i64, f->u32, dbl, f->label ? f->label : "");
    for (uint32_t k = 0; k < f->n_values; k++)
        INTEROP_APPENDF(buf, n, &pos, k ? ",%" PRId32 : "%" PRId32, f->values[k]);
    INTEROP_APPENDF(buf, n, &pos, "] where=(%" PRId32 ",%" PRId32 ") level=%" PRId32, f->where_x, f->where_y, f->level);
    return pos;
}

static inline size_t shape_format_data(char *buf, size_t n, const ShapeFields *f) {
    size_t pos = 0;
    INTEROP_APPENDF(buf, n, &pos, "DATA color=%s x=%" PRId32 " y=%" PRId32 " shapesize=%" PRId32, f->color ? f->color : "",
                    f->x, f->y, f->shapesize);
    return pos;
}

/* A sample without valid data: kind is "DISPOSED" or "UNREGISTERED", key_name "id" or "color". */
static inline size_t interop_format_state(char *buf, size_t n, const char *kind, const char *key_name, const char *key) {
    size_t pos = 0;
    INTEROP_APPENDF(buf, n, &pos, "%s %s=%s", kind, key_name, key ? key : "");
    return pos;
}

/* Instance states as the tracker below sees them. */
#define INTEROP_ALIVE 0
#define INTEROP_DISPOSED 1
#define INTEROP_UNREGISTERED 2
#define INTEROP_TRACKED_MAX 32
#define INTEROP_KEY_MAX 160

/* Turns the instance states of taken samples into DISPOSED / UNREGISTERED lines.
 *
 * A reader may report a dispose either as a sample without data or only as the instance state
 * of the data samples taken together with it, depending on whether the data was still unread
 * when the dispose arrived. Printing one line per change of state, after the batch that showed
 * it, makes the text the same either way: note() every taken sample, then flush() once per take. */
typedef struct InteropStateTracker {
    size_t n;
    char key[INTEROP_TRACKED_MAX][INTEROP_KEY_MAX];
    int state[INTEROP_TRACKED_MAX];    /* last state seen */
    int reported[INTEROP_TRACKED_MAX]; /* last state printed (ALIVE: none) */
} InteropStateTracker;

static inline void interop_tracker_init(InteropStateTracker *t) { memset(t, 0, sizeof *t); }

/* Returns 0 when the tracker is full (more instances than any test uses). */
static inline int interop_tracker_note(InteropStateTracker *t, const char *key, int state) {
    size_t i = 0;
    while (i < t->n && strcmp(t->key[i], key ? key : ""))
        i++;
    if (i == t->n) {
        if (t->n == INTEROP_TRACKED_MAX)
            return 0;
        snprintf(t->key[i], INTEROP_KEY_MAX, "%s", key ? key : "");
        t->reported[i] = INTEROP_ALIVE;
        t->n++;
    }
    t->state[i] = state;
    if (state == INTEROP_ALIVE)
        t->reported[i] = INTEROP_ALIVE;
    return 1;
}

/* Writes the next due state line into buf and returns 1, or returns 0 when none is due. Call
 * until it returns 0. */
static inline int interop_tracker_flush(InteropStateTracker *t, const char *key_name, char *buf, size_t n) {
    for (size_t i = 0; i < t->n; i++) {
        if (t->state[i] != INTEROP_ALIVE && t->state[i] != t->reported[i]) {
            t->reported[i] = t->state[i];
            interop_format_state(buf, n, t->state[i] == INTEROP_DISPOSED ? "DISPOSED" : "UNREGISTERED", key_name, t->key[i]);
            return 1;
        }
    }
    return 0;
}

/* Expected line number i of a run of count samples: the samples 0..count-1, then the dispose. */
static inline void interop_expected_line(int shape, uint32_t count, uint32_t i, char *buf, size_t n) {
    if (i < count) {
        if (shape) {
            ShapeExpected e;
            shape_expected(i, &e);
            shape_format_data(buf, n, &e.f);
        } else {
            InteropExpected e;
            interop_expected(i, &e);
            interop_format_data(buf, n, &e.f);
        }
    } else {
        interop_format_state(buf, n, "DISPOSED", shape ? "color" : "id", shape ? SHAPE_DISPOSED_COLOR : INTEROP_DISPOSED_ID);
    }
}

/* Length of the "KIND key=value" prefix that identifies the instance of a line. */
static inline size_t interop_line_instance_len(const char *line) {
    const char *sp = strchr(line, ' ');
    if (!sp)
        return strlen(line);
    const char *end = strchr(sp + 1, ' ');
    return end ? (size_t)(end - line) : strlen(line);
}

/* The instance of a line: its key word ("id=key-1"), without the kind. */
static inline const char *interop_line_key(const char *line, size_t *len) {
    const char *sp = strchr(line, ' ');
    if (!sp) {
        *len = 0;
        return line + strlen(line);
    }
    *len = interop_line_instance_len(line) - (size_t)(sp + 1 - line);
    return sp + 1;
}

/* Compares received lines with expected ones: the same number of lines, and for every instance
 * the same lines in the same order. Returns 1 when they agree; otherwise 0 with the first
 * difference described in why. */
static inline int interop_lines_agree(const char *const *expected, size_t n_expected, const char *const *actual, size_t n_actual,
                                      char *why, size_t why_len) {
    if (why_len)
        why[0] = '\0';
    for (size_t i = 0; i < n_expected; i++) {
        size_t klen;
        const char *key = interop_line_key(expected[i], &klen);
        /* Only the first expected line of each instance starts a walk over that instance. */
        int seen = 0;
        for (size_t j = 0; j < i && !seen; j++) {
            size_t l;
            const char *k = interop_line_key(expected[j], &l);
            seen = l == klen && !memcmp(k, key, klen);
        }
        if (seen)
            continue;
        size_t a = 0;
        for (size_t e = i; e < n_expected; e++) {
            size_t l;
            const char *k = interop_line_key(expected[e], &l);
            if (l != klen || memcmp(k, key, klen))
                continue;
            for (;; a++) {
                if (a == n_actual) {
                    snprintf(why, why_len, "missing: %s", expected[e]);
                    return 0;
                }
                const char *ak = interop_line_key(actual[a], &l);
                if (l == klen && !memcmp(ak, key, klen))
                    break;
            }
            if (strcmp(actual[a], expected[e])) {
                snprintf(why, why_len, "line %zu of instance %.*s\n  expected: %s\n  received: %s", a + 1, (int)klen, key,
                         expected[e], actual[a]);
                return 0;
            }
            a++;
        }
    }
    if (n_actual != n_expected) {
        /* Every expected line was found, so something extra arrived: name the first line whose
         * instance never appears among the expected, else just the counts. */
        for (size_t a = 0; a < n_actual; a++) {
            size_t l;
            const char *k = interop_line_key(actual[a], &l);
            int known = 0;
            for (size_t e = 0; e < n_expected && !known; e++) {
                size_t l2;
                const char *k2 = interop_line_key(expected[e], &l2);
                known = l2 == l && !memcmp(k2, k, l);
            }
            if (!known) {
                snprintf(why, why_len, "unexpected: %s", actual[a]);
                return 0;
            }
        }
        snprintf(why, why_len, "received %zu lines, expected %zu", n_actual, n_expected);
        return 0;
    }
    return 1;
}

#ifdef __cplusplus
}
#endif

#endif
