#include <gtest/gtest.h>

#include "app/deviceWatch.h"

namespace una::app {
namespace {

using Side = DeviceWatch::Side;

// A change is said once, in the language asked for; a stream that followed the new default
// is named by the new device's description, also when that device is then suspended.
TEST(DeviceWatch, SaysEachChangeOnceAndNamesTheNewDefault) {
    DeviceWatch w([](platform::WaveDirection, const std::string& key) {
        return key == "radio" ? std::string("Radio input") : key;
    });
    Side in{true, false, {}, "Mic"}, out{true, false, {}, "Default (TV speakers)"};
    bool stop = true;
    EXPECT_TRUE(w.poll(in, out, "uk", stop).empty());
    EXPECT_FALSE(stop);
    out.state = {false, true, 1, "radio"};
    auto said = w.poll(in, out, "uk", stop);
    ASSERT_EQ(said.size(), 2u);
    EXPECT_NE(said[0].find("now plays on \"Radio input\""), std::string::npos) << said[0];
    EXPECT_NE(said[1].find("suspended \"Radio input\""), std::string::npos) << said[1];
    EXPECT_TRUE(w.poll(in, out, "uk", stop).empty());
    out.state.suspended = false;
    said = w.poll(in, out, "es", stop);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("\"Radio input\" funciona de nuevo"), std::string::npos) << said[0];
    EXPECT_FALSE(stop);
}

// The server going away loses both sides at once: one sentence names the server, not two
// devices; a lone device gone is named.
TEST(DeviceWatch, ServerGoneIsOneSentenceAndStops) {
    DeviceWatch w;
    Side in{true, true, {true, false, 0, ""}, "Mic"}, out{true, true, {true, false, 0, ""}, "TV"};
    bool stop = false;
    auto said = w.poll(in, out, "uk", stop);
    EXPECT_TRUE(stop);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("sound server stopped or restarted"), std::string::npos);
    EXPECT_TRUE(w.poll(in, out, "uk", stop).empty());

    DeviceWatch other;
    said = other.poll({true, false, {}, "Mic"}, {true, true, {}, "TV"}, "es", stop);
    EXPECT_TRUE(stop);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("\"TV\""), std::string::npos) << said[0];
}

}  // namespace
}  // namespace una::app
