// The other process of the two-process tests, driven by arguments and by lines on its input:
//
//   quelt_test_peer publish XML
//     Writes ShapeType samples on "Pub::SquareWriter" of ShapesLib::ShapePublisher through the
//     exported functions. Prints "ready", then obeys one command per input line:
//       match N       waits (30 s at most) until N readers match; prints "matched N" or "unmatched M"
//       key K         the color of the samples that follow; "*" cycles RED GREEN BLUE YELLOW MAGENTA
//       warmup        writes x = -1 every 20 ms until the next line arrives
//       write N [MS]  the next N samples (x = n, y = 2n + 1, shapesize = n % 50 + 1), MS ms apart;
//                     prints "wrote N"
//       dispose       disposes the current key's instance
//       refused       prints "refused K": the writes the log says were refused so far
//     and exits 0 at the end of its input.
//   quelt_test_peer subscribe XML [COUNT [TIMEOUT_S]]
//     Takes from "Sub::SquareReader" of ShapesLib::ShapeSubscriber through our DDS layer (the
//     connector only makes the participant and waits).
//     Prints "ready", then "data COLOR X Y SIZE" or "notice COLOR STATE" per sample; after COUNT
//     samples (0: no end) "idle RC" with the code of one more short wait (10: nothing else came),
//     and exits 0. Exits 1 after TIMEOUT_S seconds (default 60) without data.
#include "quelt_dds_connector.h"

#include <dds/dds_domain.h>
#include <dds/dds_log.h>
#include <dds/dds_string.h>

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

namespace {

const char *const kWriter = "Pub::SquareWriter";
const char *const kColors[] = {"RED", "GREEN", "BLUE", "YELLOW", "MAGENTA"};

std::atomic<int> g_refused{0};

void sink(const char *line, void *)
{
    if (std::strstr(line, "did not send the sample"))
        ++g_refused;
    std::fputs(line, stderr);
}

bool inputWaiting(int ms)
{
    pollfd p = {0, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

void say(const std::string &line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int publish(const char *xml)
{
    QueltLog_setSink(&sink, nullptr);
    QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::ShapePublisher", xml, nullptr);
    if (!c)
        return 3;
    say("ready");
    std::string key = "RED";
    int next = 0;
    auto writeOne = [&](int x) {
        const std::string color = key == "*" ? kColors[(x < 0 ? 0 : x) % 5] : key;
        QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", color.c_str());
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "x", x);
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "y", 2 * x + 1);
        QueltDDSConnector_setNumberIntoSamples(c, kWriter, "shapesize", x < 0 ? 1 : x % 50 + 1);
        QueltDDSConnector_write(c, kWriter, nullptr);
    };
    for (std::string line; std::getline(std::cin, line);) {
        const std::string verb = line.substr(0, line.find(' '));
        const std::string arg = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
        if (verb == "match") {
            DDS_PublicationMatchedStatus m{};
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (DDS_DataWriter_get_publication_matched_status(QueltDDSConnector_getWriter(c, kWriter), &m) == DDS_RETCODE_OK &&
                   m.current_count < std::atoi(arg.c_str()) && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            say((m.current_count >= std::atoi(arg.c_str()) ? "matched " : "unmatched ") + std::to_string(m.current_count));
        } else if (verb == "key") {
            key = arg;
        } else if (verb == "warmup") {
            do
                writeOne(-1);
            while (!inputWaiting(20));
        } else if (verb == "write") {
            int n = 0, ms = 0;
            std::sscanf(arg.c_str(), "%d %d", &n, &ms);
            for (int i = 0; i < n; ++i, ++next) {
                if (i > 0 && ms > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                writeOne(next);
            }
            say("wrote " + std::to_string(n));
        } else if (verb == "dispose") {
            // The instance names the key; the first script given stays in force, so it names no key.
            QueltDDSConnector_setStringIntoSamples(c, kWriter, "color", key.c_str());
            QueltDDSConnector_assertCode(c, "CONTAINER.WRITER['Pub::SquareWriter']:dispose()", nullptr, -1);
            QueltDDSConnector_execute(c);
        } else if (verb == "refused") {
            say("refused " + std::to_string(g_refused.load()));
        }
    }
    QueltDDSConnector_delete(c);
    return 0;
}

int subscribe(const char *xml, int count, int timeoutS)
{
    QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::ShapeSubscriber", xml, nullptr);
    DDS_DataReader *r = c ? QueltDDSConnector_getReader(c, "Sub::SquareReader") : nullptr;
    if (!r)
        return 3;
    say("ready");

    DDS_DynamicDataSeq data;
    DDS_SampleInfoSeq infos;
    DDS_DynamicDataSeq_initialize(&data);
    DDS_SampleInfoSeq_initialize(&infos);
    int got = 0;
    for (int waited = 0; (count == 0 || got < count) && waited < timeoutS;) {
        if (QueltDDSConnector_wait(c, 1000) == DDS_RETCODE_TIMEOUT) {
            ++waited;
            continue;
        }
        waited = 0;
        if (DDS_DynamicDataReader_take(r, &data, &infos, -1, DDS_ANY_SAMPLE_STATE, DDS_ANY_VIEW_STATE, DDS_ANY_INSTANCE_STATE) != DDS_RETCODE_OK)
            continue;
        for (DDS_Long i = 0; i < DDS_DynamicDataSeq_get_length(&data); ++i, ++got) {
            DDS_DynamicData *s = DDS_DynamicDataSeq_get_reference(&data, i);
            const DDS_SampleInfo *info = DDS_SampleInfoSeq_get_reference(&infos, i);
            char *color = nullptr;
            DDS_UnsignedLong size = 0;
            DDS_DynamicData_get_string(s, &color, &size, "color", 0);
            DDS_Long x = 0, y = 0, ss = 0;
            DDS_DynamicData_get_long(s, &x, "x", 0);
            DDS_DynamicData_get_long(s, &y, "y", 0);
            DDS_DynamicData_get_long(s, &ss, "shapesize", 0);
            if (info->valid_data)
                std::printf("data %s %d %d %d\n", color ? color : "?", x, y, ss);
            else
                std::printf("notice %s %u\n", color ? color : "?", info->instance_state);
            DDS_String_free(color);
        }
        std::fflush(stdout);
        DDS_DynamicDataReader_return_loan(r, &data, &infos);
    }
    const bool done = count > 0 && got >= count;
    if (done)
        say("idle " + std::to_string(QueltDDSConnector_wait(c, 300)));
    DDS_DynamicDataSeq_finalize(&data);
    DDS_SampleInfoSeq_finalize(&infos);
    QueltDDSConnector_delete(c);
    return done ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string verb = argc > 2 ? argv[1] : "";
    if (verb == "publish" && argc == 3)
        return publish(argv[2]);
    if (verb == "subscribe" && argc >= 3 && argc <= 5)
        return subscribe(argv[2], argc > 3 ? std::atoi(argv[3]) : 0, argc > 4 ? std::atoi(argv[4]) : 60);
    std::fprintf(stderr, "usage: quelt_test_peer publish XML | subscribe XML [COUNT [TIMEOUT_S]]\n");
    return 2;
}
