// The engine a participant configuration names: fastdds unless it says otherwise, inherited
// through base_name and overridden by the participant's own. Broken values are in data/config/bad.
#include "xml_config.h"

#include "support/support.h"
#include <gtest/gtest.h>

#include <string>

using namespace quelt::mw;

namespace {

TEST(XmlConfig, ParticipantEngineDefaultsInheritsAndOverrides)
{
    const struct {
        const char *participant;
        EngineKind engine;
    } cases[] = {
        {"L::Default", EngineKind::Fastdds},
        {"L::Fastdds", EngineKind::Fastdds},
        {"L::Cyclone", EngineKind::Cyclone},
        {"L::InheritsCyclone", EngineKind::Cyclone},
        {"L::BackToFastdds", EngineKind::Fastdds},
    };
    for (const auto &c : cases) {
        ParticipantPlan plan;
        std::string err;
        ASSERT_TRUE(build_participant_plan({QUELT_TEST_DATA + "/config/engine.xml"}, c.participant, plan, err)) << c.participant << ": " << err;
        EXPECT_EQ(plan.engine, c.engine) << c.participant;
    }
}

} // namespace
