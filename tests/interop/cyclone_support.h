/* What the Cyclone DDS peers of the interoperability tests share: failing with a message,
 * argument parsing, a participant that keeps every packet on this host, and the reliable
 * keep-all QoS both sides of every test use. Plain C, static functions, one peer per process. */
#ifndef QUELT_CYCLONE_SUPPORT_H
#define QUELT_CYCLONE_SUPPORT_H

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

#endif
