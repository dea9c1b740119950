/* cyclone_peer: a DDS peer on Cyclone DDS, so that the interoperability tests talk to an
 * implementation that shares no code with ours.
 *
 *   cyclone_peer [--wait-go] [--xcdr2] pub TYPE DOMAIN COUNT [TIMEOUT_S]
 *   cyclone_peer [--data-only] sub TYPE DOMAIN COUNT [TIMEOUT_S]
 *   cyclone_peer check TYPE COUNT          (compares lines on stdin with a run's)
 *
 * TYPE is sample, shape, app, mut or fin (lines.h), on its topic of tests/data/interop.xml or
 * extensible.xml. pub waits for a reader, prints "# matched" (with --wait-go it then waits for
 * a line on stdin: our writer knowing the reader does not mean the reader knows our writer),
 * writes COUNT samples made from their index, disposes sample 0's instance, waits for the
 * acknowledgements and for the reader to leave. --xcdr2 makes the writer use XCDR2 whatever the
 * type. sub prints "# matched", every sample it takes as a line and every change of an
 * instance's state, and exits 0 once it has COUNT data lines and the dispose (with --data-only
 * the data lines alone), 2 on timeout.
 *
 * Without CYCLONEDDS_URI the peer sends nothing off this host (see host_only_config). */
#include "Extensible.h"
#include "Interop.h"
#include "Shapes.h"
#include "lines.h"

#include <dds/dds.h>

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdarg.h>

#define MAX_LINE 1024
#define TAKE_BATCH 64

static bool wait_go, data_only, xcdr2;

static void fail(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("cyclone_peer: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    exit(1);
}

static dds_entity_t check(dds_entity_t e, const char *what) {
    if (e < 0)
        fail("%s: %s", what, dds_strretcode(e));
    return e;
}

static long parse_long(const char *s, const char *what, long lo, long hi) {
    char *end;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || end == s || *end || v < lo || v > hi)
        fail("bad %s '%s' (expected %ld..%ld)", what, s, lo, hi);
    return v;
}

/* Keeps every packet on this host: no multicast, discovery by unicast to 127.0.0.1 (where Fast
 * DDS participants listen too), re-announced every second so that a participant starting after
 * us finds us at once. The host's other addresses are listed so that peers announcing them (Fast
 * DDS leaves out 127.0.0.1 when there is another interface) are accepted; packets to them never
 * leave the host. */
static char *host_only_config(void) {
    size_t cap = 8192, len = 0;
    char *cfg = malloc(cap);
    if (!cfg)
        fail("out of memory");
    len += (size_t)snprintf(cfg, cap, "<CycloneDDS><Domain Id=\"any\"><General><Interfaces><NetworkInterface address=\"127.0.0.1\"/>");
    struct ifaddrs *ifs = NULL;
    if (getifaddrs(&ifs) == 0) {
        for (struct ifaddrs *i = ifs; i && cap - len > 1024; i = i->ifa_next) {
            char addr[INET_ADDRSTRLEN];
            if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_UP) && !(i->ifa_flags & IFF_LOOPBACK) &&
                inet_ntop(AF_INET, &((struct sockaddr_in *)i->ifa_addr)->sin_addr, addr, sizeof addr))
                len += (size_t)snprintf(cfg + len, cap - len, "<NetworkInterface address=\"%s\"/>", addr);
        }
        freeifaddrs(ifs);
    }
    snprintf(cfg + len, cap - len,
             "</Interfaces><AllowMulticast>false</AllowMulticast></General>"
             "<Discovery><ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>30</MaxAutoParticipantIndex>"
             "<Peers><Peer Address=\"127.0.0.1\"/></Peers><SPDPInterval>1s</SPDPInterval></Discovery>"
             "</Domain></CycloneDDS>");
    return cfg;
}

static const dds_topic_descriptor_t *const descriptors[] = {&Interop_Sample_desc, &ShapeType_desc, &Ext_App_desc, &Ext_Mut_desc,
                                                            &Ext_Fin_desc};

/* A participant and the type's topic, with the reliable keep-all volatile QoS of both sides. */
static dds_entity_t open_topic(int type, dds_domainid_t domain, dds_qos_t **qos) {
    const char *uri = getenv("CYCLONEDDS_URI");
    if (!uri || !*uri) {
        char *cfg = host_only_config();
        check(dds_create_domain(domain, cfg), "create domain");
        free(cfg);
    }
    dds_entity_t pp = check(dds_create_participant(domain, NULL, NULL), "create participant");
    *qos = dds_create_qos();
    dds_qset_reliability(*qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(10));
    dds_qset_history(*qos, DDS_HISTORY_KEEP_ALL, 0);
    dds_qset_durability(*qos, DDS_DURABILITY_VOLATILE);
    return check(dds_create_topic(pp, descriptors[type], type_topics[type], NULL, NULL), "create topic");
}

static void inner_to(Ext_Inner *out, const Inner *in) {
    out->a = in->a;
    snprintf(out->s, sizeof out->s, "%s", in->s);
}

static void inner_from(Inner *out, const Ext_Inner *in) {
    out->a = in->a;
    snprintf(out->s, sizeof out->s, "%s", in->s);
}

typedef union AnySample {
    Interop_Sample sample;
    ShapeType shape;
    Ext_App app;
    Ext_Mut mut;
    Ext_Fin fin;
} AnySample;

/* The C sample from f; sequences and optional members point into f and st, which outlive the write. */
typedef struct Storage {
    Ext_Inner items[3], inner;
} Storage;

static void fill(int type, Fields *f, Storage *st, AnySample *out) {
    memset(out, 0, sizeof *out);
    if (type == T_SAMPLE) {
        Interop_Sample *s = &out->sample;
        snprintf(s->id, sizeof s->id, "%.11s", f->key);
        s->s16 = f->s16, s->i32 = f->i32, s->i64 = f->i64, s->u32 = f->u32, s->f64 = f->f64;
        snprintf(s->label, sizeof s->label, "%s", f->label);
        s->values._buffer = f->values;
        s->values._length = s->values._maximum = f->n_values;
        s->where.x = f->where_x, s->where.y = f->where_y, s->level = (Interop_Level)f->level;
    } else if (type == T_SHAPE) {
        snprintf(out->shape.color, sizeof out->shape.color, "%s", f->key);
        out->shape.x = f->x, out->shape.y = f->y, out->shape.shapesize = f->shapesize;
    } else if (type == T_APP) {
        Ext_App *s = &out->app;
        snprintf(s->id, sizeof s->id, "%.11s", f->key);
        s->count = f->count;
        for (uint32_t k = 0; k < f->n_items; k++)
            inner_to(&st->items[k], &f->items[k]);
        s->items._buffer = st->items;
        s->items._length = s->items._maximum = f->n_items;
        inner_to(&s->nested, &f->nested);
    } else if (type == T_MUT) {
        Ext_Mut *s = &out->mut;
        s->id = f->id;
        s->opt = f->has_opt ? &f->opt : NULL;
        snprintf(s->name, sizeof s->name, "%s", f->name);
        s->value = f->value;
        s->shorts._buffer = f->shorts;
        s->shorts._length = s->shorts._maximum = f->n_shorts;
        inner_to(&st->inner, &f->inner);
        s->inner = f->has_inner ? &st->inner : NULL;
    } else {
        out->fin.id = f->id, out->fin.big = f->big;
        snprintf(out->fin.s, sizeof out->fin.s, "%s", f->s);
    }
}

/* A taken sample's fields (a sample without data still carries its key). */
static void fields_of(int type, const void *data, Fields *f) {
    memset(f, 0, sizeof *f);
    if (type == T_SAMPLE) {
        const Interop_Sample *s = data;
        snprintf(f->key, sizeof f->key, "%s", s->id);
        f->s16 = s->s16, f->i32 = s->i32, f->i64 = s->i64, f->u32 = s->u32, f->f64 = s->f64;
        snprintf(f->label, sizeof f->label, "%s", s->label);
        f->n_values = s->values._length < 3 ? s->values._length : 3;
        for (uint32_t k = 0; k < f->n_values; k++)
            f->values[k] = s->values._buffer[k];
        f->where_x = s->where.x, f->where_y = s->where.y, f->level = (int32_t)s->level;
    } else if (type == T_SHAPE) {
        const ShapeType *s = data;
        snprintf(f->key, sizeof f->key, "%.39s", s->color);
        f->x = s->x, f->y = s->y, f->shapesize = s->shapesize;
    } else if (type == T_APP) {
        const Ext_App *s = data;
        snprintf(f->key, sizeof f->key, "%s", s->id);
        f->count = s->count;
        f->n_items = s->items._length < 3 ? s->items._length : 3;
        for (uint32_t k = 0; k < f->n_items; k++)
            inner_from(&f->items[k], &s->items._buffer[k]);
        inner_from(&f->nested, &s->nested);
    } else if (type == T_MUT) {
        const Ext_Mut *s = data;
        snprintf(f->key, sizeof f->key, "%d", (int)s->id);
        f->has_opt = s->opt != NULL;
        f->opt = s->opt ? *s->opt : 0;
        snprintf(f->name, sizeof f->name, "%s", s->name);
        f->value = s->value;
        f->n_shorts = s->shorts._length < 3 ? s->shorts._length : 3;
        for (uint32_t k = 0; k < f->n_shorts; k++)
            f->shorts[k] = s->shorts._buffer[k];
        f->has_inner = s->inner != NULL;
        if (s->inner)
            inner_from(&f->inner, s->inner);
    } else {
        const Ext_Fin *s = data;
        snprintf(f->key, sizeof f->key, "%d", (int)s->id);
        f->big = s->big;
        snprintf(f->s, sizeof f->s, "%s", s->s);
    }
}

static int run_pub(int type, dds_domainid_t domain, uint32_t count, dds_time_t deadline) {
    dds_qos_t *qos;
    dds_entity_t topic = open_topic(type, domain, &qos);
    dds_entity_t pp = dds_get_participant(topic);
    /* Deleting the writer at exit must not look like more disposes to the reader. */
    dds_qset_writer_data_lifecycle(qos, false);
    if (xcdr2)
        dds_qset_data_representation(qos, 1, (dds_data_representation_id_t[]){DDS_DATA_REPRESENTATION_XCDR2});
    dds_entity_t wr = check(dds_create_writer(pp, topic, qos, NULL), "create writer");
    dds_delete_qos(qos);
    /* Volatile: samples written before a reader matched would never reach it. */
    dds_entity_t ws = check(dds_create_waitset(pp), "create waitset");
    check(dds_set_status_mask(wr, DDS_PUBLICATION_MATCHED_STATUS), "set status mask");
    check(dds_waitset_attach(ws, wr, 0), "attach writer");
    dds_publication_matched_status_t pm;
    for (check(dds_get_publication_matched_status(wr, &pm), "matched"); pm.current_count == 0;
         check(dds_get_publication_matched_status(wr, &pm), "matched")) {
        if (dds_time() >= deadline)
            fail("no reader matched on %s in domain %d", type_topics[type], (int)domain);
        dds_waitset_wait_until(ws, NULL, 0, deadline);
    }
    puts(MATCHED_LINE);
    fflush(stdout);
    char go[64];
    if (wait_go && !fgets(go, sizeof go, stdin))
        fail("no go on stdin");
    AnySample sample;
    Fields f;
    Storage st;
    for (uint32_t i = 0; i <= count; i++) {
        expected(type, i < count ? i : 0, &f);
        fill(type, &f, &st, &sample);
        check(i < count ? dds_write(wr, &sample) : dds_dispose(wr, &sample), i < count ? "write" : "dispose");
    }
    /* Then the acknowledgements, and the reader leaving (leaving while it still takes would end
     * our liveliness under it). */
    int rc = 0;
    if (dds_wait_for_acks(wr, deadline - dds_time() > 0 ? deadline - dds_time() : 0) < 0) {
        fprintf(stderr, "cyclone_peer: samples not acknowledged\n");
        rc = 2;
    }
    while (rc == 0 && dds_get_publication_matched_status(wr, &pm) >= 0 && pm.current_count > 0 && dds_time() < deadline)
        dds_waitset_wait_until(ws, NULL, 0, deadline);
    dds_delete(DDS_CYCLONEDDS_HANDLE);
    return rc;
}

static int tracker_state(dds_instance_state_t st) {
    return st == DDS_IST_NOT_ALIVE_DISPOSED ? DISPOSED : st == DDS_IST_NOT_ALIVE_NO_WRITERS ? UNREGISTERED : ALIVE;
}

static int run_sub(int type, dds_domainid_t domain, uint32_t count, dds_time_t deadline) {
    dds_qos_t *qos;
    dds_entity_t topic = open_topic(type, domain, &qos);
    dds_entity_t pp = dds_get_participant(topic);
    dds_entity_t rd = check(dds_create_reader(pp, topic, qos, NULL), "create reader");
    dds_delete_qos(qos);
    dds_entity_t ws = check(dds_create_waitset(pp), "create waitset");
    check(dds_waitset_attach(ws, check(dds_create_readcondition(rd, DDS_ANY_STATE), "read condition"), 0), "attach");
    check(dds_set_status_mask(rd, DDS_SUBSCRIPTION_MATCHED_STATUS), "set status mask");
    check(dds_waitset_attach(ws, rd, 1), "attach reader");
    static Tracker tracker;
    char disposed_line[MAX_LINE], line[MAX_LINE];
    expected_line(type, 0, 0, disposed_line, sizeof disposed_line);
    bool announced = false, disposed = false;
    uint32_t data_lines = 0;
    void *samples[TAKE_BATCH];
    dds_sample_info_t infos[TAKE_BATCH];
    Fields f;
    while (data_lines < count || (!disposed && !data_only)) {
        if (dds_time() >= deadline) {
            fprintf(stderr, "cyclone_peer: timeout with %u of %u samples%s\n", (unsigned)data_lines, (unsigned)count,
                    disposed ? "" : ", no dispose");
            return 2;
        }
        dds_waitset_wait_until(ws, NULL, 0, deadline);
        dds_subscription_matched_status_t sm;
        if (!announced && dds_get_subscription_matched_status(rd, &sm) >= 0 && sm.current_count > 0) {
            puts(MATCHED_LINE);
            announced = true;
        }
        /* A sample info's instance state is the instance's state now: a dispose already received
         * marks the data queued before it. Drain everything queued before reporting a state, so
         * that a state line never overtakes data of its instance. */
        dds_return_t n;
        do {
            memset(samples, 0, sizeof samples);
            n = check(dds_take(rd, samples, infos, TAKE_BATCH, TAKE_BATCH), "take");
            for (dds_return_t k = 0; k < n; k++) {
                fields_of(type, samples[k], &f);
                if (infos[k].valid_data) {
                    format_data(type, &f, line, sizeof line);
                    puts(line);
                    data_lines++;
                }
                if (!tracker_note(&tracker, f.key, tracker_state(infos[k].instance_state)))
                    fail("too many instances");
            }
            if (n > 0)
                check(dds_return_loan(rd, samples, n), "return loan");
        } while (n == TAKE_BATCH);
        while (tracker_flush(&tracker, type, line, sizeof line)) {
            puts(line);
            disposed = disposed || !strcmp(line, disposed_line);
        }
        fflush(stdout);
    }
    dds_delete(DDS_CYCLONEDDS_HANDLE);
    return 0;
}

static int run_check(int type, uint32_t count) {
    char **expect = calloc((size_t)count + 1, sizeof *expect), **got = NULL, line[MAX_LINE], why[3 * MAX_LINE];
    size_t n_got = 0;
    for (uint32_t i = 0; expect && i <= count; i++)
        if ((expect[i] = malloc(MAX_LINE)))
            expected_line(type, count, i, expect[i], MAX_LINE);
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] != '#' && (got = realloc(got, (n_got + 1) * sizeof *got)))
            got[n_got++] = strdup(line);
    }
    if (!expect || (n_got && !got))
        fail("out of memory");
    const int ok = lines_agree((const char *const *)expect, (size_t)count + 1, (const char *const *)got, n_got, why, sizeof why);
    if (!ok)
        fprintf(stderr, "cyclone_peer check: %s\n", why);
    for (size_t i = 0; i < n_got; i++)
        free(got[i]);
    for (uint32_t i = 0; i <= count; i++)
        free(expect[i]);
    free(got);
    free(expect);
    return ok ? 0 : 1;
}

static void usage(void) {
    fputs("usage: cyclone_peer [--wait-go] [--data-only] [--xcdr2] pub|sub TYPE DOMAIN COUNT [TIMEOUT_S]\n"
          "       cyclone_peer check TYPE COUNT\n"
          "TYPE: sample, shape, app, mut or fin\n",
          stderr);
    exit(64);
}

int main(int argc, char **argv) {
    const char *args[8];
    int nargs = 0, type = -1;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--wait-go"))
            wait_go = true;
        else if (!strcmp(argv[i], "--data-only"))
            data_only = true;
        else if (!strcmp(argv[i], "--xcdr2"))
            xcdr2 = true;
        else if (nargs < 8)
            args[nargs++] = argv[i];
    }
    for (int t = 0; nargs > 1 && t < (int)(sizeof type_names / sizeof *type_names); t++)
        if (!strcmp(args[1], type_names[t]))
            type = t;
    if (type < 0)
        usage();
    if (!strcmp(args[0], "check") && nargs == 3)
        return run_check(type, (uint32_t)parse_long(args[2], "COUNT", 0, 1000000));
    if ((strcmp(args[0], "pub") && strcmp(args[0], "sub")) || nargs < 4 || nargs > 5)
        usage();
    dds_domainid_t domain = (dds_domainid_t)parse_long(args[2], "DOMAIN", 0, 232);
    uint32_t count = (uint32_t)parse_long(args[3], "COUNT", 0, 1000000);
    dds_time_t deadline = dds_time() + DDS_SECS(nargs == 5 ? parse_long(args[4], "TIMEOUT_S", 1, 3600) : 30);
    return !strcmp(args[0], "pub") ? run_pub(type, domain, count, deadline) : run_sub(type, domain, count, deadline);
}
