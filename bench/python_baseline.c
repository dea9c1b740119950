/* The two loops of bench/python_bench.py written in C against the exported functions, so that the
 * Python figures have a baseline from the same run:
 *   "update 4 members, write": 4 setters and a write per sample;
 *   "take, read 4 members": takes until the batch is read, 4 getters per sample.
 * Writer and reader share a participant (Fast DDS delivers within the write).
 *   python_baseline <bench.xml copy> <samples> -> two lines "<loop>: <samples/s>" */
#include "quelt_dds_connector.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static const char *const kWriter = "Pub::Writer";
static const char *const kReader = "Sub::Reader";
static const char *const kColors[] = {"RED", "GREEN", "BLUE", "YELLOW"};
enum { kBatch = 1000 };

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

static void writeOne(QueltDDSConnector *c, int i)
{
    QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", kColors[i % 4]);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", i);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "y", i / 4);
    QueltDDSConnector_setNumberIntoSamples(c, kWriter, "shapesize", 30);
    QueltDDSConnector_write(c, kWriter, NULL);
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <bench.xml> <samples>\n", argv[0]);
        return 2;
    }
    const int samples = atoi(argv[2]);
    QueltDDSConnector *c = QueltDDSConnector_new("BenchLib::Loop", argv[1], NULL);
    if (c == NULL)
        return 1;
    /* Writer and reader match a moment after creation: samples written before are not delivered. */
    int matched = 0;
    for (int tries = 0; tries < 100 && !matched; ++tries) {
        writeOne(c, 0);
        QueltDDSConnector_wait(c, 50);
        QueltDDSConnector_take(c, kReader);
        matched = QueltDDSConnector_getSamplesLength(c, kReader) > 0;
    }
    double sum = 0, writing = 0, reading = 0;
    long taken = 0;
    for (int done = 0; done < samples; done += kBatch) {
        double t0 = now();
        for (int i = done; i < done + kBatch; ++i)
            writeOne(c, i);
        double t1 = now();
        int n;
        do { /* a take hands out a limited number of samples: until none is left */
            QueltDDSConnector_take(c, kReader);
            n = (int)QueltDDSConnector_getSamplesLength(c, kReader);
            for (int i = 1; i <= n; ++i) {
                char *color = QueltDDSConnector_getStringFromSamples(c, kReader, i, "color");
                sum += QueltDDSConnector_getNumberFromSamples(c, kReader, i, "x") +
                       QueltDDSConnector_getNumberFromSamples(c, kReader, i, "y") +
                       QueltDDSConnector_getNumberFromSamples(c, kReader, i, "shapesize");
                QueltDDSConnector_freeString(color);
            }
            taken += n;
        } while (n > 0);
        double t2 = now();
        writing += t1 - t0;
        reading += t2 - t1;
    }
    QueltDDSConnector_delete(c);
    if (taken != samples) {
        fprintf(stderr, "%ld of %d samples came back\n", taken, samples);
        return 1;
    }
    printf("update 4 members, write: %.0f\n", samples / writing);
    printf("take, read 4 members: %.0f\n", samples / reading);
    return sum > 0 ? 0 : 1;
}
