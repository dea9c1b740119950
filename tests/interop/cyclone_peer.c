/* cyclone_peer: a DDS peer on Cyclone DDS, so interoperability tests talk to an implementation
 * that shares no code with our layer.
 *
 *   cyclone_peer [--shape] [--wait-go] pub DOMAIN TOPIC COUNT [TIMEOUT_S]
 *   cyclone_peer [--shape] sub DOMAIN TOPIC COUNT [TIMEOUT_S]
 *   cyclone_peer [--shape] check COUNT            (lines on stdin)
 *   cyclone_peer [--shape] expect COUNT           (prints the expected lines)
 *
 * pub waits for a reader, writes COUNT samples made from their index (interop_lines.h), disposes
 * the instance of sample 0, waits for the acknowledgements and then for the reader to leave.
 * sub prints every sample it takes as a canonical line and exits 0 once it has COUNT data lines
 * and the dispose line, 2 on timeout. check compares such output with what a run of COUNT must
 * produce. --shape uses ShapeType instead of Interop::Sample.
 *
 * Both pub and sub print "# matched" once their writer or reader has matched the other side
 * (comment lines, which check ignores); with --wait-go, pub then waits for a line on stdin
 * before it writes, so a test can first make sure its own reader knows the writer. With
 * --data-only, sub exits once it has COUNT data lines, dispose or not.
 *
 * Without CYCLONEDDS_URI in the environment the peer sends nothing off this host: no multicast,
 * discovery by unicast to 127.0.0.1 (see host_only_config). */
#include "Interop.h"
#include "Shapes.h"
#include "interop_lines.h"

#include "cyclone_support.h"

static void fill_sample(int shape, uint32_t i, void *out) {
    if (shape) {
        ShapeExpected e;
        shape_expected(i, &e);
        ShapeType *s = out;
        memset(s, 0, sizeof *s);
        snprintf(s->color, sizeof s->color, "%s", e.f.color);
        s->x = e.f.x;
        s->y = e.f.y;
        s->shapesize = e.f.shapesize;
    } else {
        /* Points into e; the sample is written before e goes away. */
        static InteropExpected e;
        interop_expected(i, &e);
        Interop_Sample *s = out;
        memset(s, 0, sizeof *s);
        snprintf(s->id, sizeof s->id, "%.*s", (int)sizeof s->id - 1, e.id);
        s->s16 = e.f.s16;
        s->i32 = e.f.i32;
        s->i64 = e.f.i64;
        s->u32 = e.f.u32;
        s->f64 = e.f.f64;
        snprintf(s->label, sizeof s->label, "%s", e.f.label);
        s->values._buffer = e.values;
        s->values._length = s->values._maximum = e.f.n_values;
        s->values._release = false;
        s->where.x = e.f.where_x;
        s->where.y = e.f.where_y;
        s->level = (Interop_Level)e.f.level;
    }
}

static int run_pub(int shape, dds_domainid_t domain, const char *topic_name, uint32_t count, dds_duration_t timeout) {
    dds_entity_t pp = create_participant(domain);
    dds_entity_t topic = check_entity(dds_create_topic(pp, shape ? &ShapeType_desc : &Interop_Sample_desc, topic_name, NULL, NULL),
                                      "create topic");
    dds_qos_t *qos = reliable_qos(DDS_SECS(10));
    /* Deleting the writer at exit must not look like more disposes to the reader. */
    dds_qset_writer_data_lifecycle(qos, false);
    dds_entity_t wr = check_entity(dds_create_writer(pp, topic, qos, NULL), "create writer");
    dds_delete_qos(qos);

    dds_time_t deadline = dds_time() + timeout;
    dds_entity_t ws;
    char what[128];
    snprintf(what, sizeof what, "topic %s in domain %d", topic_name, (int)domain);
    if (start_writing(pp, wr, deadline, what, &ws) != 0) {
        dds_delete(DDS_CYCLONEDDS_HANDLE);
        return 2;
    }

    ShapeType shape_sample;
    Interop_Sample interop_sample;
    void *sample = shape ? (void *)&shape_sample : (void *)&interop_sample;
    for (uint32_t i = 0; i < count; i++) {
        fill_sample(shape, i, sample);
        check_rc(dds_write(wr, sample), "write");
    }
    fill_sample(shape, 0, sample); /* the instance of sample 0 */
    check_rc(dds_dispose(wr, sample), "dispose");

    int rc = finish_writing(wr, ws, deadline);
    dds_delete(DDS_CYCLONEDDS_HANDLE);
    return rc;
}

static void format_data(int shape, const void *data, char *line, size_t n) {
    if (shape) {
        const ShapeType *s = data;
        ShapeFields f = {s->color, s->x, s->y, s->shapesize};
        shape_format_data(line, n, &f);
    } else {
        const Interop_Sample *s = data;
        InteropFields f = {s->id,    s->s16,           s->i32,            s->i64,     s->u32,     s->f64,
                           s->label, s->values._buffer, s->values._length, s->where.x, s->where.y, (int32_t)s->level};
        interop_format_data(line, n, &f);
    }
}

static const char *describe(const void *sample, bool valid, char *line, size_t size, void *ctx) {
    const int shape = *(const int *)ctx;
    if (valid)
        format_data(shape, sample, line, size);
    return shape ? ((const ShapeType *)sample)->color : ((const Interop_Sample *)sample)->id;
}

static int run_sub(int shape, dds_domainid_t domain, const char *topic_name, uint32_t count, dds_duration_t timeout) {
    dds_entity_t pp = create_participant(domain);
    dds_entity_t topic = check_entity(dds_create_topic(pp, shape ? &ShapeType_desc : &Interop_Sample_desc, topic_name, NULL, NULL),
                                      "create topic");
    dds_qos_t *qos = reliable_qos(DDS_SECS(10));
    dds_entity_t rd = check_entity(dds_create_reader(pp, topic, qos, NULL), "create reader");
    dds_delete_qos(qos);
    int rc = read_lines(pp, rd, count, timeout, shape ? "color" : "id",
                        shape ? "DISPOSED color=" SHAPE_DISPOSED_COLOR : "DISPOSED id=" INTEROP_DISPOSED_ID, describe, &shape);
    dds_delete(DDS_CYCLONEDDS_HANDLE);
    return rc;
}

static int run_check(int shape, uint32_t count, bool print_only) {
    size_t n_expected = (size_t)count + 1;
    char **expected = calloc(n_expected, sizeof *expected);
    if (!expected)
        fail("out of memory");
    for (size_t i = 0; i < n_expected; i++) {
        expected[i] = malloc(MAX_LINE);
        if (!expected[i])
            fail("out of memory");
        interop_expected_line(shape, count, (uint32_t)i, expected[i], MAX_LINE);
        if (print_only)
            puts(expected[i]);
    }
    if (print_only)
        return 0;

    size_t n_actual = 0, cap = 16;
    char **actual = malloc(cap * sizeof *actual);
    char line[MAX_LINE];
    while (actual && fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] == '#')
            continue;
        if (n_actual == cap) {
            cap *= 2;
            char **grown = realloc(actual, cap * sizeof *actual);
            if (!grown)
                fail("out of memory");
            actual = grown;
        }
        actual[n_actual] = strdup(line);
        if (!actual[n_actual])
            fail("out of memory");
        n_actual++;
    }
    if (!actual)
        fail("out of memory");
    char why[3 * MAX_LINE];
    int ok = interop_lines_agree((const char *const *)expected, n_expected, (const char *const *)actual, n_actual, why, sizeof why);
    if (!ok)
        fprintf(stderr, "cyclone_peer check: %s\n", why);
    for (size_t i = 0; i < n_expected; i++)
        free(expected[i]);
    for (size_t i = 0; i < n_actual; i++)
        free(actual[i]);
    free(expected);
    free(actual);
    return ok ? 0 : 1;
}

static void usage(void) {
    fputs("usage: cyclone_peer [--shape] [--wait-go] [--data-only] pub|sub DOMAIN TOPIC COUNT [TIMEOUT_S]\n"
          "       cyclone_peer [--shape] check|expect COUNT\n",
          stderr);
    exit(64);
}

int main(int argc, char **argv) {
    int shape = 0;
    const char *args[8];
    int nargs = 0;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--shape"))
            shape = 1;
        else if (!strcmp(argv[i], "--wait-go"))
            wait_go = true;
        else if (!strcmp(argv[i], "--data-only"))
            data_only = true;
        else if (nargs < 8)
            args[nargs++] = argv[i];
        else
            usage();
    }
    if (nargs < 2)
        usage();
    const char *mode = args[0];
    if (!strcmp(mode, "check") || !strcmp(mode, "expect")) {
        if (nargs != 2)
            usage();
        return run_check(shape, (uint32_t)parse_long(args[1], "COUNT", 0, 1000000), !strcmp(mode, "expect"));
    }
    if ((strcmp(mode, "pub") && strcmp(mode, "sub")) || nargs < 4 || nargs > 5)
        usage();
    dds_domainid_t domain = (dds_domainid_t)parse_long(args[1], "DOMAIN", 0, 232);
    const char *topic = args[2];
    uint32_t count = (uint32_t)parse_long(args[3], "COUNT", 0, 1000000);
    dds_duration_t timeout = DDS_SECS(nargs == 5 ? parse_long(args[4], "TIMEOUT_S", 1, 3600) : 30);
    return !strcmp(mode, "pub") ? run_pub(shape, domain, topic, count, timeout) : run_sub(shape, domain, topic, count, timeout);
}
