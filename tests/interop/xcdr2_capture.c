/* xcdr2_capture DIR: writes the XCDR2 images that Cyclone DDS makes of fixed Ext samples, little
 * and big endian, as DIR/<name>_le.bin and DIR/<name>_be.bin (encapsulation header and body),
 * so the unit tests of our codec compare against another implementation's bytes. Run once by
 * hand; the files are kept in tests/data/xcdr2. */
#include "Extensible.h"

#include <dds/dds.h>
#include <dds/ddsi/ddsi_cdrstream.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char *dir;

static void dump(const char *name, const char *suffix, const unsigned char header[4], const dds_ostream_t *os) {
    char path[512];
    snprintf(path, sizeof path, "%s/%s_%s.bin", dir, name, suffix);
    FILE *f = fopen(path, "wb");
    if (!f || fwrite(header, 1, 4, f) != 4 || fwrite(os->m_buffer, 1, os->m_index, f) != os->m_index || fclose(f) != 0) {
        fprintf(stderr, "xcdr2_capture: cannot write %s\n", path);
        exit(1);
    }
}

/* enc: the XCDR2 encapsulation id for big endian (PLAIN 6, D 8, PL 10); little endian is +1. */
static void capture(const char *name, const dds_topic_descriptor_t *desc, const void *sample, unsigned enc) {
    dds_ostreamLE_t le;
    dds_ostreamLE_init(&le, 0, 2);
    dds_stream_writeLE(&le, sample, desc->m_ops);
    const unsigned char hle[4] = {0, (unsigned char)(enc + 1), 0, 0};
    dump(name, "le", hle, &le.x);
    dds_ostreamLE_fini(&le);
    dds_ostreamBE_t be;
    dds_ostreamBE_init(&be, 0, 2);
    dds_stream_writeBE(&be, sample, desc->m_ops);
    const unsigned char hbe[4] = {0, (unsigned char)enc, 0, 0};
    dump(name, "be", hbe, &be.x);
    dds_ostreamBE_fini(&be);
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: xcdr2_capture DIR\n", stderr);
        return 64;
    }
    dir = argv[1];

    Ext_Inner items[2] = {{7, "seven"}, {-8, ""}};
    Ext_App app = {"app-1", 42, {2, 2, items, false}, {-1, "nest"}};
    capture("app", &Ext_App_desc, &app, 8);
    Ext_App app_empty = {"", 0, {0, 0, NULL, false}, {0, ""}};
    capture("app_empty", &Ext_App_desc, &app_empty, 8);

    int32_t opt = -5;
    int16_t shorts[3] = {1, -2, 3};
    Ext_Inner inner = {99, "in"};
    Ext_Mut mut = {17, &opt, "mutable", 2.5, {3, 3, shorts, false}, &inner};
    capture("mut", &Ext_Mut_desc, &mut, 10);
    Ext_Mut mut_absent = {18, NULL, "", -0.125, {0, 0, NULL, false}, NULL};
    capture("mut_absent", &Ext_Mut_desc, &mut_absent, 10);

    Ext_Fin fin = {3, INT64_C(-1234567890123), "fin"};
    capture("fin", &Ext_Fin_desc, &fin, 6);
    return 0;
}
