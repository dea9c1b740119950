/* cyclone_peer: a DDS peer on Cyclone DDS, an implementation that shares no code with ours, and
 * the one source of what both sides expect: sample i of a type, made from its index, printed as
 * "KEY JSON" (the key, then the members as JSON our connector reads); "KEY disposed" for a
 * disposed instance.
 *   cyclone_peer [--wait-go] [--xcdr2] pub TYPE DOMAIN COUNT [TIMEOUT_S]
 *   cyclone_peer [--data-only] sub TYPE DOMAIN COUNT [TIMEOUT_S]
 *   cyclone_peer lines TYPE COUNT      (what a run prints: COUNT samples, then the dispose)
 *   cyclone_peer capture DIR           (the XCDR2 images of tests/data/xcdr2; see capture_all)
 * TYPE: sample (Interop::Sample, every kind), shape (ShapeType, a key longer than a key hash), app,
 * mut or fin (Extensible.idl), on its topic of tests/data/interop.xml or extensible.xml.
 * pub prints "# matched" once a reader matched (--wait-go: then waits for a line on stdin: our
 * writer knowing the reader does not mean the reader knows it), writes (--xcdr2: in XCDR2 whatever
 * the type), disposes sample 0's instance, then waits for the acknowledgements (prints "#
 * acknowledged") and for the reader to leave. sub prints "# matched", a line per sample and per change of an instance's state ("KEY
 * unregistered" too), and exits 0 once it has COUNT data lines and the dispose (--data-only: the
 * data alone), 2 on timeout. Instances come in any order, each one's samples in the writer's.
 * Without CYCLONEDDS_URI nothing leaves this host. */
#include "Extensible.h"
#include "Interop.h"
#include "Shapes.h"

#include <dds/dds.h>
#include <dds/ddsi/ddsi_cdrstream.h>

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <inttypes.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_LINE 1024
#define TAKE_BATCH 64
#define MAX_INSTANCES 32

enum { T_SAMPLE, T_SHAPE, T_APP, T_MUT, T_FIN };
static const char *const type_names[] = {"sample", "shape", "app", "mut", "fin"};
static const char *const type_topics[] = {"InteropTopic", "Square", "AppTopic", "MutTopic", "FinTopic"};
static const dds_topic_descriptor_t *const descriptors[] = {&Interop_Sample_desc, &ShapeType_desc, &Ext_App_desc, &Ext_Mut_desc,
                                                            &Ext_Fin_desc};

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

typedef union AnySample { Interop_Sample sample; ShapeType shape; Ext_App app; Ext_Mut mut; Ext_Fin fin; } AnySample;
/* What the sequences and optional members of a made sample point to. */
typedef struct Storage { int32_t values[3], opt; int16_t shorts[3]; Ext_Inner items[3], inner; } Storage;

/* Sample i: three instances; sequences of 0 to 3 elements; optional members present in some
 * samples only. Numeric keys start at 1: Fast DDS 2.9 takes an all-zero key hash for "no
 * instance". Sample's key fits the 16-byte key hash, Shape's longer one is hashed with MD5. */
static void make(int type, uint32_t i, AnySample *out, Storage *st) {
    static const char *const colors[] = {"RED", "GREEN", "BLUE"};
    const unsigned k3 = i % 3, n3 = i % 4 < 3 ? i % 4 : 3;
    memset(out, 0, sizeof *out);
    for (uint32_t k = 0; k < 3; k++) {
        st->values[k] = (int32_t)(i + k);
        st->shorts[k] = (int16_t)((k % 2 ? -1 : 1) * (int32_t)(i + k));
        st->items[k].a = (int32_t)(i * 10 + k);
        snprintf(st->items[k].s, sizeof st->items[k].s, "s%u", (unsigned)k);
    }
    if (type == T_SAMPLE) {
        Interop_Sample *s = &out->sample;
        snprintf(s->id, sizeof s->id, "key-%u", k3);
        s->s16 = (int16_t)-(int32_t)i, s->i32 = (int32_t)i * 1000, s->i64 = (int64_t)i * INT64_C(10000000000);
        s->u32 = UINT32_C(4000000000) + i, s->f64 = i + 0.25;
        snprintf(s->label, sizeof s->label, "L%u", (unsigned)i);
        s->values = (dds_sequence_long){n3, n3, st->values, false};
        s->where.x = (int32_t)i, s->where.y = -(int32_t)i, s->level = (Interop_Level)(i % 3);
    } else if (type == T_SHAPE) {
        snprintf(out->shape.color, sizeof out->shape.color, "%s", colors[k3]);
        out->shape.x = (int32_t)i * 10, out->shape.y = 200 - (int32_t)i, out->shape.shapesize = 20 + (int32_t)(i % 5);
    } else if (type == T_APP) {
        Ext_App *s = &out->app;
        snprintf(s->id, sizeof s->id, "app-%u", k3);
        s->count = (int32_t)i * 7 - 3, s->nested.a = -(int32_t)i;
        s->items = (dds_sequence_Ext_Inner){i % 3, i % 3, st->items, false};
        snprintf(s->nested.s, sizeof s->nested.s, "n%u", (unsigned)(i % 1000));
    } else if (type == T_MUT) {
        Ext_Mut *s = &out->mut;
        s->id = (int32_t)k3 + 1, s->value = i + 0.5, st->opt = -(int32_t)i, st->inner.a = (int32_t)i;
        s->opt = i % 2 == 0 ? &st->opt : NULL;
        snprintf(s->name, sizeof s->name, "m%u", (unsigned)i);
        s->shorts = (dds_sequence_short){n3, n3, st->shorts, false};
        snprintf(st->inner.s, sizeof st->inner.s, "x%u", (unsigned)(i % 10));
        s->inner = i % 3 == 1 ? &st->inner : NULL;
    } else {
        out->fin.id = (int32_t)k3 + 1, out->fin.big = (int64_t)i * INT64_C(1000000000007);
        snprintf(out->fin.s, sizeof out->fin.s, "f%u", (unsigned)(i % 1000));
    }
}

/* Shortest text that reads back as the same double, so equal values print equally. */
static const char *shortest(char *buf, size_t n, double v) {
    for (int prec = 1; prec <= 17; prec++) {
        snprintf(buf, n, "%.*g", prec, v);
        if (strtod(buf, NULL) == v)
            break;
    }
    return buf;
}

/* The line "KEY JSON" of a sample (a sample without data still carries its key). */
static void print(int type, const void *data, char *b, size_t n) {
    FILE *f = fmemopen(b, n, "w");
    char d[32];
    if (!f)
        fail("fmemopen");
    if (type == T_SAMPLE) {
        const Interop_Sample *s = data;
        fprintf(f, "%s {\"id\":\"%s\",\"s16\":%d,\"i32\":%d,\"i64\":%" PRId64 ",\"u32\":%u"
                ",\"f64\":%s,\"label\":\"%s\",\"values\":[", s->id, s->id, (int)s->s16, s->i32, s->i64, s->u32,
                shortest(d, sizeof d, s->f64), s->label);
        for (uint32_t k = 0; k < s->values._length; k++)
            fprintf(f, "%s%d", k ? "," : "", s->values._buffer[k]);
        fprintf(f, "],\"where\":{\"x\":%d,\"y\":%d},\"level\":%d}", s->where.x, s->where.y, (int)s->level);
    } else if (type == T_SHAPE) {
        const ShapeType *s = data;
        fprintf(f, "%s {\"color\":\"%s\",\"x\":%d,\"y\":%d,\"shapesize\":%d}", s->color, s->color, s->x, s->y, s->shapesize);
    } else if (type == T_APP) {
        const Ext_App *s = data;
        fprintf(f, "%s {\"id\":\"%s\",\"count\":%d,\"items\":[", s->id, s->id, s->count);
        for (uint32_t k = 0; k < s->items._length; k++)
            fprintf(f, "%s{\"a\":%d,\"s\":\"%s\"}", k ? "," : "", s->items._buffer[k].a, s->items._buffer[k].s);
        fprintf(f, "],\"nested\":{\"a\":%d,\"s\":\"%s\"}}", s->nested.a, s->nested.s);
    } else if (type == T_MUT) {
        const Ext_Mut *s = data;
        fprintf(f, "%d {\"id\":%d", s->id, s->id);
        if (s->opt)
            fprintf(f, ",\"opt\":%d", *s->opt);
        fprintf(f, ",\"name\":\"%s\",\"value\":%s,\"shorts\":[", s->name, shortest(d, sizeof d, s->value));
        for (uint32_t k = 0; k < s->shorts._length; k++)
            fprintf(f, "%s%d", k ? "," : "", (int)s->shorts._buffer[k]);
        if (s->inner)
            fprintf(f, "],\"inner\":{\"a\":%d,\"s\":\"%s\"}}", s->inner->a, s->inner->s);
        else
            fputs("]}", f);
    } else {
        const Ext_Fin *s = data;
        fprintf(f, "%d {\"id\":%d,\"big\":%" PRId64 ",\"s\":\"%s\"}", s->id, s->id, s->big, s->s);
    }
    fclose(f);
}

/* Keeps every packet on this host: no multicast, discovery by unicast to 127.0.0.1 (where Fast
 * DDS participants listen too), re-announced every second so that a participant starting after
 * us finds us at once. The host's other addresses are listed so that peers announcing them (Fast
 * DDS leaves out 127.0.0.1 when there is another interface) are accepted; packets to them never
 * leave the host. */
static void host_only_domain(dds_domainid_t domain) {
    char cfg[8192];
    FILE *f = fmemopen(cfg, sizeof cfg, "w");
    struct ifaddrs *ifs = NULL;
    if (!f || getifaddrs(&ifs) != 0)
        fail("host addresses");
    fputs("<CycloneDDS><Domain Id=\"any\"><General><Interfaces><NetworkInterface address=\"127.0.0.1\"/>", f);
    for (struct ifaddrs *i = ifs; i; i = i->ifa_next) {
        char addr[INET_ADDRSTRLEN];
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_UP) && !(i->ifa_flags & IFF_LOOPBACK) &&
            inet_ntop(AF_INET, &((struct sockaddr_in *)i->ifa_addr)->sin_addr, addr, sizeof addr))
            fprintf(f, "<NetworkInterface address=\"%s\"/>", addr);
    }
    freeifaddrs(ifs);
    fputs("</Interfaces><AllowMulticast>false</AllowMulticast></General>"
          "<Discovery><ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>30</MaxAutoParticipantIndex>"
          "<Peers><Peer Address=\"127.0.0.1\"/></Peers><SPDPInterval>1s</SPDPInterval></Discovery></Domain></CycloneDDS>", f);
    if (fclose(f) != 0 || !memchr(cfg, '\0', sizeof cfg))
        fail("configuration too long");
    check(dds_create_domain(domain, cfg), "create domain");
}

/* A participant and the type's topic, with the reliable keep-all volatile QoS of both sides, and a
 * waitset on the status mask of the writer or reader that make creates there. */
static dds_entity_t open_endpoint(int type, dds_domainid_t domain, dds_qos_t *qos, uint32_t mask, dds_entity_t *ws,
                                  dds_entity_t (*create)(dds_entity_t, dds_entity_t, const dds_qos_t *, const dds_listener_t *)) {
    const char *uri = getenv("CYCLONEDDS_URI");
    if (!uri || !*uri)
        host_only_domain(domain);
    dds_entity_t pp = check(dds_create_participant(domain, NULL, NULL), "create participant");
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(10));
    dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    dds_entity_t topic = check(dds_create_topic(pp, descriptors[type], type_topics[type], NULL, NULL), "create topic");
    dds_entity_t e = check(create(pp, topic, qos, NULL), "create writer or reader");
    dds_delete_qos(qos);
    *ws = check(dds_create_waitset(pp), "create waitset");
    check(dds_set_status_mask(e, mask), "set status mask");
    check(dds_waitset_attach(*ws, e, 1), "attach");
    return e;
}

static int run_pub(int type, dds_domainid_t domain, uint32_t count, dds_time_t deadline) {
    dds_qos_t *qos = dds_create_qos();
    /* Deleting the writer at exit must not look like more disposes to the reader. */
    dds_qset_writer_data_lifecycle(qos, false);
    if (xcdr2)
        dds_qset_data_representation(qos, 1, (dds_data_representation_id_t[]){DDS_DATA_REPRESENTATION_XCDR2});
    dds_entity_t ws, wr = open_endpoint(type, domain, qos, DDS_PUBLICATION_MATCHED_STATUS, &ws, dds_create_writer);
    /* Volatile: samples written before a reader matched would never reach it. */
    dds_publication_matched_status_t pm;
    while (check(dds_get_publication_matched_status(wr, &pm), "matched") >= 0 && pm.current_count == 0) {
        if (dds_time() >= deadline)
            fail("no reader matched on %s in domain %d", type_topics[type], (int)domain);
        dds_waitset_wait_until(ws, NULL, 0, deadline);
    }
    puts("# matched");
    fflush(stdout);
    char go[64];
    if (wait_go && !fgets(go, sizeof go, stdin))
        fail("no go on stdin");
    AnySample sample;
    Storage st;
    for (uint32_t i = 0; i <= count; i++) {
        make(type, i < count ? i : 0, &sample, &st);
        check(i < count ? dds_write(wr, &sample) : dds_dispose(wr, &sample), i < count ? "write" : "dispose");
    }
    /* Then the acknowledgements, and the reader leaving (leaving while it still takes would end
     * our liveliness under it). */
    if (dds_wait_for_acks(wr, deadline - dds_time() > 0 ? deadline - dds_time() : 0) < 0) {
        fprintf(stderr, "cyclone_peer: samples not acknowledged\n");
        return 2;
    }
    puts("# acknowledged");
    fflush(stdout);
    while (dds_get_publication_matched_status(wr, &pm) >= 0 && pm.current_count > 0 && dds_time() < deadline)
        dds_waitset_wait_until(ws, NULL, 0, deadline);
    dds_delete(DDS_CYCLONEDDS_HANDLE);
    return 0;
}

/* The key of a printed line: the line cut at its first space. */
static char *key_of(char *line) {
    line[strcspn(line, " ")] = '\0';
    return line;
}

static int run_sub(int type, dds_domainid_t domain, uint32_t count, dds_time_t deadline) {
    dds_entity_t ws, rd = open_endpoint(type, domain, dds_create_qos(), DDS_SUBSCRIPTION_MATCHED_STATUS, &ws, dds_create_reader);
    check(dds_waitset_attach(ws, check(dds_create_readcondition(rd, DDS_ANY_STATE), "read condition"), 0), "attach");
    /* The instances seen in a state other than alive: their key, that state and the one printed. */
    static char keys[MAX_INSTANCES][MAX_LINE];
    static dds_instance_state_t state[MAX_INSTANCES], printed[MAX_INSTANCES];
    size_t n_keys = 0;
    AnySample first;
    Storage st;
    char disposed_key[MAX_LINE], line[MAX_LINE];
    make(type, 0, &first, &st);
    print(type, &first, disposed_key, sizeof disposed_key);
    key_of(disposed_key);
    bool announced = false, disposed = false;
    uint32_t data_lines = 0;
    void *samples[TAKE_BATCH];
    dds_sample_info_t infos[TAKE_BATCH];
    while (data_lines < count || (!disposed && !data_only)) {
        if (dds_time() >= deadline) {
            fprintf(stderr, "cyclone_peer: timeout with %u of %u samples%s\n", (unsigned)data_lines, (unsigned)count,
                    disposed ? "" : ", no dispose");
            return 2;
        }
        dds_waitset_wait_until(ws, NULL, 0, deadline);
        dds_subscription_matched_status_t sm;
        if (!announced && dds_get_subscription_matched_status(rd, &sm) >= 0 && sm.current_count > 0)
            announced = puts("# matched") >= 0;
        /* A sample info's instance state is the instance's state now: a dispose already received
         * marks the data queued before it. Drain everything queued before printing a state, so
         * that a state line never overtakes data of its instance. */
        dds_return_t n;
        do {
            memset(samples, 0, sizeof samples);
            n = check(dds_take(rd, samples, infos, TAKE_BATCH, TAKE_BATCH), "take");
            for (dds_return_t k = 0; k < n; k++) {
                print(type, samples[k], line, sizeof line);
                if (infos[k].valid_data)
                    data_lines += puts(line) >= 0;
                key_of(line);
                if (infos[k].instance_state == DDS_IST_ALIVE)
                    continue;
                size_t j = 0;
                while (j < n_keys && strcmp(keys[j], line))
                    j++;
                if (j == MAX_INSTANCES)
                    fail("too many instances");
                if (j == n_keys)
                    snprintf(keys[n_keys++], MAX_LINE, "%s", line);
                state[j] = infos[k].instance_state;
            }
            if (n > 0)
                check(dds_return_loan(rd, samples, n), "return loan");
        } while (n == TAKE_BATCH);
        for (size_t j = 0; j < n_keys; j++)
            if (state[j] != printed[j]) {
                printed[j] = state[j];
                printf("%s %s\n", keys[j], state[j] == DDS_IST_NOT_ALIVE_DISPOSED ? "disposed" : "unregistered");
                disposed = disposed || (state[j] == DDS_IST_NOT_ALIVE_DISPOSED && !strcmp(keys[j], disposed_key));
            }
        fflush(stdout);
    }
    dds_delete(DDS_CYCLONEDDS_HANDLE);
    return 0;
}

/* DIR/NAME_le.bin and DIR/NAME_be.bin: encapsulation header, then the body that Cyclone's stream
 * writer makes of sample. enc is the XCDR2 encapsulation id for big endian (PLAIN 6, D 8, PL 10). */
static void capture(const char *dir, const char *name, const dds_topic_descriptor_t *desc, const void *sample, unsigned enc) {
    dds_ostreamLE_t le;
    dds_ostreamBE_t be;
    dds_ostreamLE_init(&le, 0, 2);
    dds_ostreamBE_init(&be, 0, 2);
    dds_stream_writeLE(&le, sample, desc->m_ops);
    dds_stream_writeBE(&be, sample, desc->m_ops);
    const dds_ostream_t *streams[] = {&le.x, &be.x};
    for (int k = 0; k < 2; k++) {
        char path[512];
        snprintf(path, sizeof path, "%s/%s_%s.bin", dir, name, k ? "be" : "le");
        const unsigned char header[4] = {0, (unsigned char)(k ? enc : enc + 1), 0, 0};
        FILE *f = fopen(path, "wb");
        if (!f || fwrite(header, 1, 4, f) != 4 || fwrite(streams[k]->m_buffer, 1, streams[k]->m_index, f) != streams[k]->m_index ||
            fclose(f) != 0)
            fail("cannot write %s", path);
    }
    dds_ostreamLE_fini(&le);
    dds_ostreamBE_fini(&be);
}

/* Fixed Ext samples as Cyclone encodes them in XCDR2, for the unit tests of our codec: run by hand
 * into tests/data/xcdr2. */
static int capture_all(const char *dir) {
    Ext_Inner items[2] = {{7, "seven"}, {-8, ""}}, inner = {99, "in"};
    Ext_App app = {"app-1", 42, {2, 2, items, false}, {-1, "nest"}}, app_empty = {"", 0, {0, 0, NULL, false}, {0, ""}};
    capture(dir, "app", &Ext_App_desc, &app, 8);
    capture(dir, "app_empty", &Ext_App_desc, &app_empty, 8);
    int32_t opt = -5;
    int16_t shorts[3] = {1, -2, 3};
    Ext_Mut mut = {17, &opt, "mutable", 2.5, {3, 3, shorts, false}, &inner}, mut_absent = {18, NULL, "", -0.125, {0, 0, NULL, false}, NULL};
    capture(dir, "mut", &Ext_Mut_desc, &mut, 10);
    capture(dir, "mut_absent", &Ext_Mut_desc, &mut_absent, 10);
    Ext_Fin fin = {3, INT64_C(-1234567890123), "fin"};
    capture(dir, "fin", &Ext_Fin_desc, &fin, 6);
    return 0;
}

static void usage(void) {
    fail("usage: cyclone_peer [--wait-go] [--data-only] [--xcdr2] pub|sub TYPE DOMAIN COUNT [TIMEOUT_S]\n"
         "       cyclone_peer lines TYPE COUNT | capture DIR\nTYPE: sample, shape, app, mut or fin");
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
    if (nargs == 2 && !strcmp(args[0], "capture"))
        return capture_all(args[1]);
    for (int t = 0; nargs > 1 && t < (int)(sizeof type_names / sizeof *type_names); t++)
        if (!strcmp(args[1], type_names[t]))
            type = t;
    if (type < 0)
        usage();
    if (!strcmp(args[0], "lines") && nargs == 3) {
        /* The lines of a run: the samples, then the dispose of sample 0's instance. */
        const uint32_t count = (uint32_t)parse_long(args[2], "COUNT", 0, 1000000);
        AnySample sample;
        Storage st;
        char line[MAX_LINE];
        for (uint32_t i = 0; i <= count; i++) {
            make(type, i < count ? i : 0, &sample, &st);
            print(type, &sample, line, sizeof line);
            printf(i < count ? "%s\n" : "%s disposed\n", i < count ? line : key_of(line));
        }
        return 0;
    }
    if ((strcmp(args[0], "pub") && strcmp(args[0], "sub")) || nargs < 4 || nargs > 5)
        usage();
    dds_domainid_t domain = (dds_domainid_t)parse_long(args[2], "DOMAIN", 0, 232);
    uint32_t count = (uint32_t)parse_long(args[3], "COUNT", 0, 1000000);
    dds_time_t deadline = dds_time() + DDS_SECS(nargs == 5 ? parse_long(args[4], "TIMEOUT_S", 1, 3600) : 30);
    return !strcmp(args[0], "pub") ? run_pub(type, domain, count, deadline) : run_sub(type, domain, count, deadline);
}
