// The two sides of the exchange between network namespaces (tests/netns/two_namespaces.sh runs
// each in its own namespace); disabled, so that they never run on their own. A key longer than 16
// bytes travels as an MD5 key hash, so the dispose notice's key comes from what the reader kept.
#include "connector_test_support.h"

using namespace quelt::test;

namespace {

const char *const kLongKey = "a color name well over sixteen bytes";

// 20 samples, or QUELT_NETNS_COUNT of them (the script streams 100,000).
int count()
{
    const char *n = std::getenv("QUELT_NETNS_COUNT");
    return n && std::atoi(n) > 0 ? std::atoi(n) : 20;
}

const char *xmlPath()
{
    const char *p = std::getenv("QUELT_NETNS_XML");
    return p ? p : "";
}

} // namespace

TEST(NetnsPeer, DISABLED_Publisher)
{
    QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::ShapePublisher", xmlPath(), nullptr);
    ASSERT_NE(c, nullptr);
    DDS_DataWriter *w = QueltDDSConnector_getWriter(c, "Pub::SquareWriter");
    DDS_PublicationMatchedStatus matched{};
    for (int i = 0; i < 300 && matched.current_count < 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        DDS_DataWriter_get_publication_matched_status(w, &matched);
    }
    ASSERT_GE(matched.current_count, 1) << "no subscriber across the namespaces within 30 s";
    const int n = count();
    for (int x = 1; x <= n; ++x) {
        QueltDDSConnector_setStringIntoSamples(c, "Pub::SquareWriter", "color", kLongKey);
        QueltDDSConnector_setNumberIntoSamples(c, "Pub::SquareWriter", "x", x);
        QueltDDSConnector_write(c, "Pub::SquareWriter", nullptr);
    }
    EXPECT_EQ(runLua(c, "local w = CONTAINER.WRITER['Pub::SquareWriter'] w.instance.color = '" + std::string(kLongKey) +
                            "' w:dispose() return 1"),
              std::vector<std::string>{"1"});
    // Reliable delivery of the last samples needs the writer a little longer.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    QueltDDSConnector_delete(c);
}

TEST(NetnsPeer, DISABLED_Subscriber)
{
    QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::ShapeSubscriber", xmlPath(), nullptr);
    ASSERT_NE(c, nullptr);
    const char *r = "Sub::SquareReader";
    int lastX = 0, outOfOrder = 0;
    bool disposed = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!disposed && std::chrono::steady_clock::now() < end) {
        if (QueltDDSConnector_wait(c, 500) != DDS_RETCODE_OK)
            continue;
        QueltDDSConnector_take(c, r);
        const int n = static_cast<int>(QueltDDSConnector_getSamplesLength(c, r));
        for (int i = 1; i <= n; ++i) {
            const bool valid = QueltDDSConnector_getBooleanFromInfos(c, r, i, "valid_data");
            if (i == 1 || !valid) {
                EXPECT_EQ(text(QueltDDSConnector_getStringFromSamples(c, r, i, "color")), kLongKey);
            }
            if (valid) {
                const int x = static_cast<int>(QueltDDSConnector_getNumberFromSamples(c, r, i, "x"));
                if (x != lastX + 1 && outOfOrder++ == 0)
                    ADD_FAILURE() << "sample " << x << " came after " << lastX;
                lastX = x;
            } else {
                disposed = true;
            }
        }
    }
    EXPECT_EQ(lastX, count());
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_TRUE(disposed) << "no dispose notice";
    QueltDDSConnector_delete(c);
}
