// The sampling loop's backoff and stop request, and what the kernel tells about each core: a
// zone's trip points, the zone and the remote processor that belong to a core, and which states
// of a remote processor count as running.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "cpu/sampling/dsp_state.h"
#include "cpu/sampling/sampler.h"
#include "test_util.h"

namespace {

using namespace std::chrono_literals;
using vorlix::kestrel::Backoff;
using vorlix::kestrel::Remoteproc;
using vorlix::kestrel::StopSignal;
using vorlix::kestrel::ThermalZone;

TEST(Backoff, DoublesFromOneSecondUpToThirtyAndStartsOverAfterASample) {
    Backoff backoff;
    for (const auto expected : {1000ms, 2000ms, 4000ms, 8000ms, 16000ms, 30000ms, 30000ms}) {
        EXPECT_EQ(backoff.next(), expected);
    }
    backoff.reset();
    EXPECT_EQ(backoff.next(), 1000ms);
}

TEST(StopSignal, WakesAWaiterAtOnce) {
    StopSignal stop;
    EXPECT_FALSE(stop.wait_for(1ms));
    std::thread requester([&] { stop.request(); });
    // Returns as soon as the request is made; the hour is never waited.
    EXPECT_TRUE(stop.wait_for(std::chrono::hours(1)));
    requester.join();
    EXPECT_TRUE(stop.requested());
}

TEST(ThermalZones, TripPointsAreReadUntilTheFirstMissingOne) {
    monitor_test::FakeSysfs sysfs;
    const std::string zone = "sys/class/thermal/thermal_zone7/";
    sysfs.write(zone + "type", "nsp2\n");
    sysfs.write(zone + "temp", "-1500\n");
    sysfs.write(zone + "trip_point_0_type", "passive\n");
    sysfs.write(zone + "trip_point_0_temp", "95000\n");
    sysfs.write(zone + "trip_point_1_type", "critical\n");
    sysfs.write(zone + "trip_point_1_temp", "not a number\n");  // left out
    sysfs.write(zone + "trip_point_2_type", "hot\n");
    sysfs.write(zone + "trip_point_2_temp", "105500\n");
    sysfs.write(zone + "trip_point_4_type", "critical\n");  // after a gap: not read
    sysfs.write(zone + "trip_point_4_temp", "120000\n");
    sysfs.write("sys/class/thermal/thermal_zone3/type", "cpu0\n");  // no temperature: left out

    const auto zones = vorlix::kestrel::read_thermal_zones();
    ASSERT_EQ(zones.size(), 1u);
    EXPECT_EQ(zones[0].type, "nsp2");
    EXPECT_EQ(zones[0].celsius, -1.5);
    ASSERT_EQ(zones[0].trips.size(), 2u);
    EXPECT_EQ(zones[0].trip("passive")->celsius, 95.0);
    EXPECT_EQ(zones[0].trip("hot")->celsius, 105.5);
    EXPECT_EQ(zones[0].trip("critical"), nullptr);
}

TEST(DspStateWatch, ARefreshReadsTheTemperaturesAndStatesOfTheirOwnFoldersAgain) {
    monitor_test::FakeSysfs sysfs;
    sysfs.write("sys/class/thermal/thermal_zone2/type", "nsp0\n");
    sysfs.write("sys/class/thermal/thermal_zone2/temp", "52000\n");
    sysfs.write("sys/class/thermal/thermal_zone5/type", "nsp1\n");
    sysfs.write("sys/class/thermal/thermal_zone5/temp", "48000\n");
    sysfs.write("sys/class/remoteproc/remoteproc3/name", "cdsp\n");
    sysfs.write("sys/class/remoteproc/remoteproc3/state", "running\n");
    vorlix::kestrel::DspStateWatch watch;
    watch.list();
    ASSERT_EQ(watch.zones().size(), 2u);
    ASSERT_EQ(watch.procs().size(), 1u);

    // The files change in place, as sysfs attributes do.
    sysfs.write("sys/class/thermal/thermal_zone5/temp", "91500\n");
    sysfs.write("sys/class/remoteproc/remoteproc3/state", "crashed\n");
    EXPECT_TRUE(watch.refresh());
    EXPECT_EQ(watch.zones()[0].celsius, 52.0);
    EXPECT_EQ(watch.zones()[1].celsius, 91.5);
    EXPECT_EQ(watch.procs()[0].state, "crashed");

    // What cannot be read keeps its last reading.
    sysfs.write("sys/class/thermal/thermal_zone2/temp", "");
    EXPECT_FALSE(watch.refresh());
    EXPECT_EQ(watch.zones()[0].celsius, 52.0);
}

TEST(ThermalZones, ACoreHasTheHottestZoneNamedAfterItAndTheCdspTheHottestNspZone) {
    const std::vector<ThermalZone> zones = {
        {"nsp1", 40.0, {}},      {"nsp1-hvx", 47.0, {}}, {"nsp10", 90.0, {}},
        {"cdsp1-top", 50.0, {}}, {"cpu0", 99.0, {}},     {"nsp0", 45.0, {}},
    };
    using vorlix::kestrel::zone_for_core;
    EXPECT_EQ(zone_for_core(zones, "nsp1")->type, "nsp1-hvx");
    EXPECT_EQ(zone_for_core(zones, "cdsp1")->type, "cdsp1-top");
    EXPECT_EQ(zone_for_core(zones, "cdsp")->type, "nsp10");
    EXPECT_EQ(zone_for_core(zones, "nsp3"), nullptr);
    EXPECT_EQ(zone_for_core({{"cpu0", 30.0, {}}}, "cdsp"), nullptr);
}

TEST(Remoteprocs, ACoreHasTheProcessorWithItsNameAsAWord) {
    const std::vector<Remoteproc> procs = {
        {"adsp", "running", ""}, {"remoteproc-cdsp1", "crashed", ""}, {"cdsp", "offline", ""}};
    using vorlix::kestrel::remoteproc_for_core;
    EXPECT_EQ(remoteproc_for_core(procs, "cdsp1")->state, "crashed");
    EXPECT_EQ(remoteproc_for_core(procs, "cdsp")->state, "offline");
    EXPECT_EQ(remoteproc_for_core(procs, "nsp0"), nullptr);
}

TEST(Remoteprocs, AnAttachedProcessorRunsAndUnknownStatesDoNot) {
    using vorlix::kestrel::classify_remoteproc_state;
    using vorlix::kestrel::DspRun;
    EXPECT_EQ(classify_remoteproc_state("running"), DspRun::kRunning);
    EXPECT_EQ(classify_remoteproc_state("attached"), DspRun::kRunning);
    EXPECT_EQ(classify_remoteproc_state("offline"), DspRun::kOffline);
    EXPECT_EQ(classify_remoteproc_state("crashed"), DspRun::kCrashed);
    EXPECT_EQ(classify_remoteproc_state("suspended"), DspRun::kOther);
    EXPECT_EQ(classify_remoteproc_state(""), DspRun::kOther);
}

}  // namespace
