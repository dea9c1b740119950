/* cyclone_ext_peer: the Cyclone DDS side of the extensible-type interoperability tests, with
 * the types of Extensible.idl (App appendable, Mut mutable with optional members, Fin final).
 *
 *   cyclone_ext_peer [--wait-go] [--xcdr2] pub app|mut|fin DOMAIN COUNT [TIMEOUT_S]
 *   cyclone_ext_peer [--data-only] sub app|mut|fin DOMAIN COUNT [TIMEOUT_S]
 *
 * pub waits for a reader, prints "# matched" (with --wait-go it then waits for a line on
 * stdin), writes COUNT samples made from their index (ext_lines.h), disposes the instance of
 * sample 0, waits for the acknowledgements and for the reader to leave. sub prints each sample
 * it takes as a canonical line and each change of an instance's state, and exits 0 once it has
 * COUNT data lines and the dispose (with --data-only, the data lines alone), 2 on timeout.
 * With --xcdr2 the writer uses XCDR2 whatever the type (Cyclone's default for final types is
 * XCDR1). The topic is the type's in tests/data/extensible.xml (AppTopic, MutTopic, FinTopic). */
#include "Extensible.h"
#include "ext_lines.h"

#include "cyclone_support.h"

static bool xcdr2 = false;

static const dds_topic_descriptor_t *descriptor(int kind) {
    return kind == EXT_APP ? &Ext_App_desc : kind == EXT_MUT ? &Ext_Mut_desc : &Ext_Fin_desc;
}

static void inner_from(Ext_Inner *out, const ExtInnerFields *in) {
    out->a = in->a;
    snprintf(out->s, sizeof out->s, "%s", in->s);
}

static void inner_to(ExtInnerFields *out, const Ext_Inner *in) {
    out->a = in->a;
    snprintf(out->s, sizeof out->s, "%s", in->s);
}

/* The C sample of kind from f; pointers refer into f and storage, which outlive the write. */
typedef struct Storage {
    Ext_Inner items[3];
    Ext_Inner inner;
    int32_t opt;
    int16_t shorts[3];
} Storage;

static void fill(int kind, ExtFields *f, Storage *st, void *out) {
    if (kind == EXT_APP) {
        Ext_App *s = out;
        memset(s, 0, sizeof *s);
        snprintf(s->id, sizeof s->id, "%.11s", f->key);
        s->count = f->count;
        for (uint32_t k = 0; k < f->n_items; k++)
            inner_from(&st->items[k], &f->items[k]);
        s->items._buffer = st->items;
        s->items._length = s->items._maximum = f->n_items;
        s->items._release = false;
        inner_from(&s->nested, &f->nested);
    } else if (kind == EXT_MUT) {
        Ext_Mut *s = out;
        memset(s, 0, sizeof *s);
        s->id = f->id;
        st->opt = f->opt;
        s->opt = f->has_opt ? &st->opt : NULL;
        snprintf(s->name, sizeof s->name, "%s", f->name);
        s->value = f->value;
        memcpy(st->shorts, f->shorts, sizeof st->shorts);
        s->shorts._buffer = st->shorts;
        s->shorts._length = s->shorts._maximum = f->n_shorts;
        s->shorts._release = false;
        inner_from(&st->inner, &f->inner);
        s->inner = f->has_inner ? &st->inner : NULL;
    } else {
        Ext_Fin *s = out;
        memset(s, 0, sizeof *s);
        s->id = f->id;
        s->big = f->big;
        snprintf(s->s, sizeof s->s, "%s", f->s);
    }
}

static void fields_of(int kind, const void *data, ExtFields *f) {
    memset(f, 0, sizeof *f);
    if (kind == EXT_APP) {
        const Ext_App *s = data;
        snprintf(f->key, sizeof f->key, "%s", s->id);
        f->count = s->count;
        f->n_items = s->items._length < 3 ? s->items._length : 3;
        for (uint32_t k = 0; k < f->n_items; k++)
            inner_to(&f->items[k], &s->items._buffer[k]);
        inner_to(&f->nested, &s->nested);
    } else if (kind == EXT_MUT) {
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
            inner_to(&f->inner, s->inner);
    } else {
        const Ext_Fin *s = data;
        snprintf(f->key, sizeof f->key, "%d", (int)s->id);
        f->big = s->big;
        snprintf(f->s, sizeof f->s, "%s", s->s);
    }
}

static int run_pub(int kind, dds_domainid_t domain, uint32_t count, dds_duration_t timeout) {
    dds_entity_t pp = create_participant(domain);
    dds_entity_t topic = check_entity(dds_create_topic(pp, descriptor(kind), ext_topic(kind), NULL, NULL), "create topic");
    dds_qos_t *qos = reliable_qos(DDS_SECS(10));
    dds_qset_writer_data_lifecycle(qos, false);
    if (xcdr2)
        dds_qset_data_representation(qos, 1, (dds_data_representation_id_t[]){DDS_DATA_REPRESENTATION_XCDR2});
    dds_entity_t wr = check_entity(dds_create_writer(pp, topic, qos, NULL), "create writer");
    dds_delete_qos(qos);
    dds_time_t deadline = dds_time() + timeout;
    dds_entity_t ws;
    char what[128];
    snprintf(what, sizeof what, "%s in domain %d", ext_topic(kind), (int)domain);
    if (start_writing(pp, wr, deadline, what, &ws) != 0) {
        dds_delete(DDS_CYCLONEDDS_HANDLE);
        return 2;
    }
    union {
        Ext_App app;
        Ext_Mut mut;
        Ext_Fin fin;
    } sample;
    ExtFields f;
    Storage st;
    for (uint32_t i = 0; i < count; i++) {
        ext_expected(kind, i, &f);
        fill(kind, &f, &st, &sample);
        check_rc(dds_write(wr, &sample), "write");
    }
    ext_expected(kind, 0, &f);
    fill(kind, &f, &st, &sample);
    check_rc(dds_dispose(wr, &sample), "dispose");

    int rc = finish_writing(wr, ws, deadline);
    dds_delete(DDS_CYCLONEDDS_HANDLE);
    return rc;
}

struct describe_ctx {
    int kind;
    ExtFields f;
};

static const char *describe(const void *sample, bool valid, char *line, size_t size, void *ctx) {
    struct describe_ctx *c = ctx;
    fields_of(c->kind, sample, &c->f);
    if (valid)
        ext_format(c->kind, &c->f, line, size);
    return c->f.key;
}

static int run_sub(int kind, dds_domainid_t domain, uint32_t count, dds_duration_t timeout) {
    dds_entity_t pp = create_participant(domain);
    dds_entity_t topic = check_entity(dds_create_topic(pp, descriptor(kind), ext_topic(kind), NULL, NULL), "create topic");
    dds_qos_t *qos = reliable_qos(DDS_SECS(10));
    dds_entity_t rd = check_entity(dds_create_reader(pp, topic, qos, NULL), "create reader");
    dds_delete_qos(qos);
    char disposed_line[MAX_LINE];
    ext_disposed_line(kind, disposed_line, sizeof disposed_line);
    static struct describe_ctx ctx;
    ctx.kind = kind;
    int rc = read_lines(pp, rd, count, timeout, "id", disposed_line, describe, &ctx);
    dds_delete(DDS_CYCLONEDDS_HANDLE);
    return rc;
}

static void usage(void) {
    fputs("usage: cyclone_ext_peer [--wait-go] [--data-only] [--xcdr2] pub|sub app|mut|fin DOMAIN COUNT [TIMEOUT_S]\n", stderr);
    exit(64);
}

int main(int argc, char **argv) {
    peer_name = "cyclone_ext_peer";
    const char *args[8];
    int nargs = 0;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--wait-go"))
            wait_go = true;
        else if (!strcmp(argv[i], "--data-only"))
            data_only = true;
        else if (!strcmp(argv[i], "--xcdr2"))
            xcdr2 = true;
        else if (nargs < 8)
            args[nargs++] = argv[i];
        else
            usage();
    }
    if (nargs < 4 || nargs > 5 || (strcmp(args[0], "pub") && strcmp(args[0], "sub")))
        usage();
    int kind;
    if (!strcmp(args[1], "app"))
        kind = EXT_APP;
    else if (!strcmp(args[1], "mut"))
        kind = EXT_MUT;
    else if (!strcmp(args[1], "fin"))
        kind = EXT_FIN;
    else
        usage();
    dds_domainid_t domain = (dds_domainid_t)parse_long(args[2], "DOMAIN", 0, 232);
    uint32_t count = (uint32_t)parse_long(args[3], "COUNT", 0, 1000000);
    dds_duration_t timeout = DDS_SECS(nargs == 5 ? parse_long(args[4], "TIMEOUT_S", 1, 3600) : 30);
    return !strcmp(args[0], "pub") ? run_pub(kind, domain, count, timeout) : run_sub(kind, domain, count, timeout);
}
