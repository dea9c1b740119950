/* What the Cyclone DDS peers of the interoperability tests share: failing with a message,
 * argument parsing, a participant that keeps every packet on this host, the reliable keep-all
 * QoS both sides of every test use, and the writing and reading sides' protocol with the test
 * (interop_lines.h). Plain C, static functions, one peer per process. */
#ifndef QUELT_CYCLONE_SUPPORT_H
#define QUELT_CYCLONE_SUPPORT_H

#include "interop_lines.h"

#include <dds/dds.h>

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The program name in messages; each peer sets it first thing. */
static const char *peer_name = "cyclone_peer";

#define MAX_LINE 1024
#define TAKE_BATCH 64

/* --wait-go: the writer waits for a line on stdin once matched. --data-only: the reader exits
 * once it has its data lines, dispose or not. */
static bool wait_go = false;
static bool data_only = false;

static void fail(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s: ", peer_name);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    exit(1);
}

static void check_rc(dds_return_t rc, const char *what) {
    if (rc < 0)
        fail("%s: %s", what, dds_strretcode(rc));
}

static dds_entity_t check_entity(dds_entity_t e, const char *what) {
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

/* Cyclone configuration that keeps every packet on this host: no multicast, discovery by
 * unicast to the participant ports on 127.0.0.1 (where Fast DDS participants of the domain
 * listen too, whatever interfaces they announce), re-announced every second so a participant
 * that starts after us finds us at once. The host's own non-loopback addresses are listed as
 * interfaces only so that peers announcing those addresses (Fast DDS leaves out 127.0.0.1 when
 * the host has another interface) are accepted; packets sent to them never leave the host. */
static char *host_only_config(void) {
    size_t cap = 1024, len = 0;
    char *cfg = malloc(cap);
    if (!cfg)
        fail("out of memory");
    len += (size_t)snprintf(cfg + len, cap - len,
                            "<CycloneDDS><Domain Id=\"any\"><General><Interfaces><NetworkInterface address=\"127.0.0.1\"/>");
    struct ifaddrs *ifs = NULL;
    if (getifaddrs(&ifs) == 0) {
        for (struct ifaddrs *i = ifs; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK))
                continue;
            char addr[INET_ADDRSTRLEN];
            if (!inet_ntop(AF_INET, &((struct sockaddr_in *)i->ifa_addr)->sin_addr, addr, sizeof addr))
                continue;
            if (cap - len < 256) {
                cap *= 2;
                char *grown = realloc(cfg, cap);
                if (!grown)
                    fail("out of memory");
                cfg = grown;
            }
            len += (size_t)snprintf(cfg + len, cap - len, "<NetworkInterface address=\"%s\"/>", addr);
        }
        freeifaddrs(ifs);
    }
    if (cap - len < 512) {
        cap += 512;
        char *grown = realloc(cfg, cap);
        if (!grown)
            fail("out of memory");
        cfg = grown;
    }
    snprintf(cfg + len, cap - len,
             "</Interfaces><AllowMulticast>false</AllowMulticast></General>"
             "<Discovery><ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>30</MaxAutoParticipantIndex>"
             "<Peers><Peer Address=\"127.0.0.1\"/></Peers><SPDPInterval>1s</SPDPInterval></Discovery>"
             "</Domain></CycloneDDS>");
    return cfg;
}

static dds_entity_t create_participant(dds_domainid_t domain) {
    const char *uri = getenv("CYCLONEDDS_URI");
    if (!uri || !*uri) {
        char *cfg = host_only_config();
        check_entity(dds_create_domain(domain, cfg), "create domain");
        free(cfg);
    }
    return check_entity(dds_create_participant(domain, NULL, NULL), "create participant");
}

/* Reliable, keep-all, volatile: what the interop XML configuration asks of both sides. */
static dds_qos_t *reliable_qos(dds_duration_t max_blocking) {
    dds_qos_t *qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, max_blocking);
    dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    return qos;
}

/* The writer's start: waits until a reader matched (samples written before would never reach
 * it: volatile), prints "# matched" and, with --wait-go, waits for the test's go on stdin (our
 * writer knowing the reader does not mean the reader knows our writer yet). 0, or 2 on timeout.
 * The waitset it leaves in *ws serves finish_writing. */
static int start_writing(dds_entity_t pp, dds_entity_t wr, dds_time_t deadline, const char *what, dds_entity_t *ws) {
    *ws = check_entity(dds_create_waitset(pp), "create waitset");
    check_rc(dds_set_status_mask(wr, DDS_PUBLICATION_MATCHED_STATUS), "set status mask");
    check_rc(dds_waitset_attach(*ws, wr, 0), "attach writer");
    dds_publication_matched_status_t pm;
    for (;;) {
        check_rc(dds_get_publication_matched_status(wr, &pm), "publication matched status");
        if (pm.current_count > 0)
            break;
        if (dds_time() >= deadline) {
            fprintf(stderr, "%s: no reader matched on %s\n", peer_name, what);
            return 2;
        }
        dds_waitset_wait_until(*ws, NULL, 0, deadline);
    }
    puts(INTEROP_MATCHED_LINE);
    fflush(stdout);
    char go[64];
    if (wait_go && !fgets(go, sizeof go, stdin)) {
        fprintf(stderr, "%s: no go on stdin\n", peer_name);
        return 2;
    }
    return 0;
}

/* The writer's end: waits for the acknowledgements, then for the reader to leave (leaving while
 * it still takes would end our liveliness under it). 0, or 2 when unacknowledged. */
static int finish_writing(dds_entity_t wr, dds_entity_t ws, dds_time_t deadline) {
    int rc = 0;
    dds_return_t ack = dds_wait_for_acks(wr, deadline - dds_time() > 0 ? deadline - dds_time() : 0);
    if (ack < 0) {
        fprintf(stderr, "%s: samples not acknowledged: %s\n", peer_name, dds_strretcode(ack));
        rc = 2;
    }
    dds_publication_matched_status_t pm;
    while (rc == 0) {
        check_rc(dds_get_publication_matched_status(wr, &pm), "publication matched status");
        if (pm.current_count == 0 || dds_time() >= deadline)
            break;
        dds_waitset_wait_until(ws, NULL, 0, deadline);
    }
    return rc;
}

/* Of a taken sample: its key, and with valid data its canonical line in line. */
typedef const char *(*describe_sample_fn)(const void *sample, bool valid, char *line, size_t size, void *ctx);

static int tracker_state(dds_instance_state_t st) {
    return st == DDS_IST_NOT_ALIVE_DISPOSED ? INTEROP_DISPOSED : st == DDS_IST_NOT_ALIVE_NO_WRITERS ? INTEROP_UNREGISTERED : INTEROP_ALIVE;
}

/* The reader's side: prints "# matched" once matched, every data line and every change of an
 * instance's state (keyed by key_name), until count data lines and disposed_line have been
 * printed (the data lines alone with --data-only). 0, or 2 on timeout. */
static int read_lines(dds_entity_t pp, dds_entity_t rd, uint32_t count, dds_duration_t timeout, const char *key_name,
                      const char *disposed_line, describe_sample_fn describe, void *ctx) {
    dds_entity_t rc_any = check_entity(dds_create_readcondition(rd, DDS_ANY_STATE), "create read condition");
    dds_entity_t ws = check_entity(dds_create_waitset(pp), "create waitset");
    check_rc(dds_waitset_attach(ws, rc_any, 0), "attach read condition");
    /* The writer side waits for this reader to know its writer before writing (start_writing). */
    check_rc(dds_set_status_mask(rd, DDS_SUBSCRIPTION_MATCHED_STATUS), "set status mask");
    check_rc(dds_waitset_attach(ws, rd, 1), "attach reader");
    bool announced = false;
    static InteropStateTracker tracker;
    interop_tracker_init(&tracker);
    uint32_t data_lines = 0;
    bool disposed = false;
    dds_time_t deadline = dds_time() + timeout;
    void *samples[TAKE_BATCH];
    dds_sample_info_t infos[TAKE_BATCH];
    char line[MAX_LINE];
    while (data_lines < count || (!disposed && !data_only)) {
        if (dds_time() >= deadline) {
            fprintf(stderr, "%s: timeout with %u of %u samples%s\n", peer_name, (unsigned)data_lines, (unsigned)count,
                    disposed ? "" : ", no dispose");
            return 2;
        }
        dds_waitset_wait_until(ws, NULL, 0, deadline);
        if (!announced) {
            dds_subscription_matched_status_t sm;
            check_rc(dds_get_subscription_matched_status(rd, &sm), "subscription matched status");
            if (sm.current_count > 0) {
                puts(INTEROP_MATCHED_LINE);
                announced = true;
            }
        }
        /* The instance state in a sample info is the instance's state now, not when the sample
         * was written: a dispose already received marks the data still queued before it. Drain
         * everything queued before reporting a state, so a state line never overtakes data of
         * its instance (batches end mid-instance, as take orders by instance). */
        dds_return_t n;
        do {
            memset(samples, 0, sizeof samples);
            n = dds_take(rd, samples, infos, TAKE_BATCH, TAKE_BATCH);
            check_rc(n, "take");
            for (dds_return_t k = 0; k < n; k++) {
                /* Samples without data still carry the key of their instance. */
                const char *key = describe(samples[k], infos[k].valid_data, line, sizeof line, ctx);
                if (infos[k].valid_data) {
                    puts(line);
                    data_lines++;
                }
                if (!interop_tracker_note(&tracker, key, tracker_state(infos[k].instance_state)))
                    fail("too many instances");
            }
            if (n > 0)
                check_rc(dds_return_loan(rd, samples, n), "return loan");
        } while (n == TAKE_BATCH);
        while (interop_tracker_flush(&tracker, key_name, line, sizeof line)) {
            puts(line);
            if (!strcmp(line, disposed_line))
                disposed = true;
        }
        fflush(stdout);
    }
    return 0;
}

#endif
