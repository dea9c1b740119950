// Fast DDS's own log lines, which it would print on standard output, as lines of our log facility.
#include "engines/fastdds/fastdds_engine.h"

#include "dds/dds_log.h"

#include <fastdds/dds/log/Log.hpp>

#include <memory>
#include <mutex>
#include <string>

namespace {

class FastddsConsumer : public eprosima::fastdds::dds::LogConsumer {
  public:
    void Consume(const eprosima::fastdds::dds::Log::Entry &e) override
    {
        using Log = eprosima::fastdds::dds::Log;
        const std::string context = std::string("Fast DDS ") + (e.context.category ? e.context.category : "");
        switch (e.kind) {
        case Log::Kind::Error:
            QueltLog_error(context.c_str(), "%s", e.message.c_str());
            break;
        case Log::Kind::Warning:
            QueltLog_warning(context.c_str(), "%s", e.message.c_str());
            break;
        default:
            QueltLog_notice(context.c_str(), "%s", e.message.c_str());
            break;
        }
    }
};

} // namespace

namespace quelt::mw {

void route_fastdds_log()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // The default consumer prints on standard output, past the sink.
        eprosima::fastdds::dds::Log::ClearConsumers();
        eprosima::fastdds::dds::Log::RegisterConsumer(std::make_unique<FastddsConsumer>());
    });
}

} // namespace quelt::mw

