// The connector's side of a Cyclone-to-connector exchange: what its reader takes, as the lines
// the peer's own reader would print (interop_lines.h).
#pragma once

#include "connector_test_support.h"
#include "interop_lines.h"

#include <string>
#include <vector>

// Takes until `count` data lines and the peer's one notice (the dispose of sample 0's instance)
// have arrived, or until `idleLimit` waits of a second in a row brought nothing. A sample with
// data becomes dataLine(i); a notice the "DISPOSED id=<key>" line, its key from noticeKey(i).
template <class DataLine, class NoticeKey>
std::vector<std::string> takeLines(QueltDDSConnector *c, const char *reader, uint32_t count, int idleLimit,
                                   DataLine dataLine, NoticeKey noticeKey)
{
    std::vector<std::string> lines;
    uint32_t dataLines = 0;
    bool disposed = false;
    int idle = 0;
    while ((dataLines < count || !disposed) && idle < idleLimit && !::testing::Test::HasFailure()) {
        if (QueltDDSConnector_wait(c, 1000) != DDS_RETCODE_OK) {
            ++idle;
            continue;
        }
        QueltDDSConnector_take(c, reader);
        const int n = static_cast<int>(QueltDDSConnector_getSamplesLength(c, reader));
        for (int i = 1; i <= n; ++i) {
            if (QueltDDSConnector_getBooleanFromInfos(c, reader, i, "valid_data") == 1) {
                lines.push_back(dataLine(i));
                ++dataLines;
                continue;
            }
            char line[256];
            interop_format_state(line, sizeof line, "DISPOSED", "id", noticeKey(i).c_str());
            lines.emplace_back(line);
            disposed = true;
        }
        EXPECT_EQ(quelt::test::stackHeight(c), 0);
    }
    return lines;
}
