// Board profiles: the built-in boards as the project fixes them, "extends", validation.
#include <filesystem>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "board.h"
#include "sim_test_util.h"

using kestrel_sim::Board;
using kestrel_sim::BoardError;
using kestrel_sim::load_board;
using kestrel_sim::SocIdKind;
using nlohmann::json;
using sim_test::TempDir;
using sim_test::write_file;

namespace {

Board parse(const std::string& text) {
    return kestrel_sim::parse_board(json::parse(text), "test");
}

TEST(SimBuiltinBoards, AreExactlyTheSevenNamedBoards) {
    EXPECT_THAT(kestrel_sim::builtin_board_names(),
                ::testing::ElementsAre("demo", "idle-sa8797p", "qcs6490", "qcs9075", "sa8797p",
                                       "sm8250", "sm8650"));
}

TEST(SimBuiltinBoards, Sm8650IsOneV75NspWithThePublishedLoads) {
    Board b = load_board("sm8650");
    EXPECT_EQ(b.soc_kind, SocIdKind::kText);
    EXPECT_EQ(b.soc_text, "557\n");
    EXPECT_EQ(b.library, "full");
    ASSERT_EQ(b.domains.size(), 1u);
    const auto& d = b.domains[0];
    EXPECT_EQ(d.name, "cdsp");
    EXPECT_EQ(d.id, 3u);
    EXPECT_EQ(d.effective_id, 3u);
    EXPECT_EQ(d.type, 1u);
    EXPECT_EQ(d.arch, 0x75u);
    EXPECT_EQ(d.vtcm_bytes, 8u << 20);
    EXPECT_EQ(d.clock_hz, 1000000000u);
    EXPECT_TRUE(d.pmu);
    EXPECT_DOUBLE_EQ(d.load.core, 0.45);
    EXPECT_DOUBLE_EQ(d.load.hvx, 0.25);
    EXPECT_DOUBLE_EQ(d.load.hmx, 0.12);
}

TEST(SimBuiltinBoards, LegacyBoardsLackSystemRequestAndPmu) {
    Board sm8250 = load_board("sm8250");
    EXPECT_EQ(sm8250.soc_text, "356\n");
    EXPECT_EQ(sm8250.library, "no_system_request");
    ASSERT_EQ(sm8250.domains.size(), 1u);
    EXPECT_EQ(sm8250.domains[0].name, "cdsp");
    EXPECT_EQ(sm8250.domains[0].arch, 0x66u);
    EXPECT_EQ(sm8250.domains[0].vtcm_bytes, 256u * 1024);
    EXPECT_FALSE(sm8250.domains[0].pmu);

    // qcs6490 extends sm8250: only the SoC id and the architecture differ.
    Board qcs6490 = load_board("qcs6490");
    EXPECT_EQ(qcs6490.soc_text, "498\n");
    EXPECT_EQ(qcs6490.library, "no_system_request");
    ASSERT_EQ(qcs6490.domains.size(), 1u);
    EXPECT_EQ(qcs6490.domains[0].arch, 0x68u);
    EXPECT_EQ(qcs6490.domains[0].vtcm_bytes, 256u * 1024);
    EXPECT_FALSE(qcs6490.domains[0].pmu);
    // Both reach their DSP through the older device node.
    EXPECT_EQ(sm8250.domains[0].device->path, "/dev/adsprpc-smd");
    EXPECT_EQ(qcs6490.domains[0].device->path, "/dev/adsprpc-smd");
}

TEST(SimBuiltinBoards, Qcs9075HasTwoCdspsWithDifferentLoads) {
    Board b = load_board("qcs9075");
    EXPECT_EQ(b.soc_text, "676\n");
    EXPECT_EQ(b.library, "no_system_request");
    ASSERT_EQ(b.domains.size(), 2u);
    EXPECT_EQ(b.domains[0].name, "cdsp");
    EXPECT_EQ(b.domains[0].id, 3u);
    EXPECT_EQ(b.domains[1].name, "cdsp1");
    EXPECT_EQ(b.domains[1].id, 4u);
    EXPECT_EQ(b.domains[0].arch, 0x73u);
    EXPECT_EQ(b.domains[1].arch, 0x73u);
    EXPECT_NE(b.domains[0].load.core, b.domains[1].load.core);
}

TEST(SimBuiltinBoards, Sa8797pHasFourDistinctNspCores) {
    Board b = load_board("sa8797p");
    EXPECT_EQ(b.soc_text, "690\n");
    EXPECT_EQ(b.library, "full");
    ASSERT_EQ(b.domains.size(), 4u);
    std::set<std::string> names;
    std::set<uint32_t> effective;
    std::set<double> loads;
    for (const auto& d : b.domains) {
        EXPECT_EQ(d.type, 1u);
        names.insert(d.name);
        effective.insert(d.effective_id);
        loads.insert(d.load.core);
    }
    EXPECT_EQ(names, (std::set<std::string>{"nsp0", "nsp1", "nsp2", "nsp3"}));
    EXPECT_EQ(effective.size(), 4u);
    EXPECT_EQ(loads.size(), 4u);
    ASSERT_EQ(b.thermal_zones.size(), 4u);
    for (const auto& z : b.thermal_zones) {
        ASSERT_EQ(z.trips.size(), 2u) << z.type;
        EXPECT_EQ(z.trips[0].type, "passive");
        EXPECT_EQ(z.trips[1].type, "critical");
        EXPECT_LT(z.temp_millicelsius, z.trips[0].temp_millicelsius);
        EXPECT_LT(z.trips[0].temp_millicelsius, z.trips[1].temp_millicelsius);
    }
}

TEST(SimBuiltinBoards, DemoIsAnSa8797pWhoseLoadsMoveOneZoneIsWarmAndNsp3Crashes) {
    Board b = load_board("demo");
    Board sa8797p = load_board("sa8797p");
    EXPECT_EQ(b.soc_text, sa8797p.soc_text);
    EXPECT_EQ(b.library, sa8797p.library);
    ASSERT_EQ(b.domains.size(), 4u);
    std::set<uint32_t> periods;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(b.domains[i].name, sa8797p.domains[i].name);
        EXPECT_GE(b.domains[i].load.steps.size(), 2u) << b.domains[i].name;
        periods.insert(b.domains[i].load.period_ms);
    }
    EXPECT_EQ(periods.size(), 4u);
    int warm = 0;  // zones within 5 °C below their passive trip point
    for (const auto& z : b.thermal_zones) {
        const int64_t passive = z.trips.at(0).temp_millicelsius;
        warm += z.temp_millicelsius < passive && passive - z.temp_millicelsius <= 5000 ? 1 : 0;
    }
    EXPECT_EQ(warm, 1);
    ASSERT_EQ(b.dsp_crashes.size(), 1u);
    EXPECT_EQ(b.dsp_crashes[0].domain, "nsp3");
}

TEST(SimBoardProfile, DefaultsAndSocIdForms) {
    Board b = parse(R"({"domains": [{"name": "cdsp", "id": 3}]})");
    EXPECT_EQ(b.soc_kind, SocIdKind::kMissing);
    EXPECT_EQ(b.library, "full");
    EXPECT_EQ(b.domains[0].effective_id, 3u);  // defaults to the id
    EXPECT_EQ(b.domains[0].exists, 1u);

    EXPECT_EQ(parse(R"({"soc_id": null})").soc_kind, SocIdKind::kMissing);
    EXPECT_EQ(parse(R"({"soc_id": {"unreadable": true}})").soc_kind, SocIdKind::kUnreadable);
    Board raw = parse(R"({"soc_id": "garbage without a line end"})");
    EXPECT_EQ(raw.soc_kind, SocIdKind::kText);
    EXPECT_EQ(raw.soc_text, "garbage without a line end");
    EXPECT_EQ(parse(R"({"soc_id": 690})").soc_text, "690\n");
}

TEST(SimBoardProfile, FieldsAndFaultsAreRead) {
    Board b = parse(R"({
        "num_domains": -3,
        "domains": [{"name": "n", "id": "0x10", "arch": "0x68", "capabilities": {"9": 7},
                     "load": {"core": 50, "pcpp": 4}, "pmu_start": [1, 2, 4294967295],
                     "script": {"utimer": [1, 2], "pmu": [[1, 2, 3]], "clock_hz": [5]}}],
        "faults": [{"call": "remote_handle64_invoke", "method": 5, "nth": 2, "result": -1},
                   {"call": "HAP_power_get", "result": "0x80000001", "domain": "n"},
                   {"call": "remote_handle64_invoke", "crash": true}]})");
    EXPECT_EQ(b.reported_domain_count, -3);
    const auto& d = b.domains[0];
    EXPECT_EQ(d.id, 16u);
    EXPECT_EQ(d.arch, 0x68u);
    EXPECT_EQ(d.capabilities.at(9), 7u);
    EXPECT_DOUBLE_EQ(d.load.core, 0.5);
    EXPECT_DOUBLE_EQ(d.load.pcpp, 4.0);
    EXPECT_EQ(d.pmu_start[2], 0xffffffffu);
    EXPECT_EQ(d.script.utimer.size(), 2u);
    EXPECT_EQ(d.script.pmu[0][2], 3u);
    ASSERT_EQ(b.faults.size(), 3u);
    EXPECT_EQ(b.faults[0].method, 5u);
    EXPECT_EQ(b.faults[0].nth, 2u);
    EXPECT_EQ(b.faults[1].result, static_cast<int32_t>(0x80000001u));
    EXPECT_TRUE(b.faults[2].crash);
    EXPECT_EQ(b.faults[2].nth, 0u);  // every call unless told otherwise
}

TEST(SimBoardProfile, ThermalZonesAreRead) {
    Board b = parse(R"({"thermal_zones": [{"type": "nsp0", "temp_millicelsius": -2500}]})");
    ASSERT_EQ(b.thermal_zones.size(), 1u);
    EXPECT_EQ(b.thermal_zones[0].type, "nsp0");
    EXPECT_EQ(b.thermal_zones[0].temp_millicelsius, -2500);
}

TEST(SimBoardProfile, WhatOfKestrelIsInstalledAndTheLibraryVariantNone) {
    Board all = parse("{}");
    EXPECT_TRUE(all.installed.libkestrel);
    EXPECT_EQ(all.installed.libkestrel_skel, "build");
    Board b = parse(R"({"library": "none",
                        "installed": {"libkestrel": false, "libkestrel_skel": "host"}})");
    EXPECT_EQ(b.library, "none");
    EXPECT_FALSE(b.installed.libkestrel);
    EXPECT_EQ(b.installed.libkestrel_skel, "host");
}

// The windows of a DSP crash that repeats: when each begins and ends, and what the state file
// shows meanwhile (the profile's state outside them).
TEST(SimBoardProfile, DspCrashWindowsRepeatAndEnd) {
    Board b = parse(R"({"domains": [{"name": "a", "id": 3},
                                     {"name": "b", "id": 4, "remoteproc": {"state": "offline"}}],
        "dsp_crashes": [{"domain": "a", "at_ms": 100, "for_ms": 50, "every_ms": 1000},
                        {"domain": "b", "at_ms": 0, "for_ms": 10}]})");
    const auto& a = b.domains[0];
    const auto& crash = b.dsp_crashes[0];
    EXPECT_EQ(b.dsp_state(a, 99), "running");
    EXPECT_EQ(b.dsp_state(a, 100), "crashed");
    EXPECT_EQ(b.dsp_state(a, 149), "crashed");
    EXPECT_EQ(b.dsp_state(a, 150), "running");
    EXPECT_EQ(b.dsp_state(a, 1120), "crashed");
    EXPECT_EQ(crash.last_start(99), std::nullopt);
    EXPECT_EQ(crash.last_start(1099), 100u);
    EXPECT_EQ(crash.next_change(0), 100u);
    EXPECT_EQ(crash.next_change(120), 150u);
    EXPECT_EQ(crash.next_change(150), 1100u);
    EXPECT_EQ(b.dsp_state(b.domains[1], 5), "crashed");
    EXPECT_EQ(b.dsp_state(b.domains[1], 10), "offline");
    EXPECT_EQ(b.dsp_crashes[1].next_change(10), std::nullopt);  // once only
}

TEST(SimBoardProfile, MistakesAreRefusedWithTheirPlace) {
    // Each profile and a part of the message that says what is wrong with it.
    const std::vector<std::pair<std::string, std::string>> bad = {
        {R"({"colour": "red"})", ": unknown key \"colour\""},
        {R"({"library": "newest"})", ".library: must be full, no_system_request, minimal or none"},
        {R"({"dsp": "fpga"})", ".dsp: must be host or hexagon"},
        {R"({"domains": [{"name": "a"}]})", ".domains[0]: a domain needs \"name\" and \"id\""},
        {R"({"domains": [{"name": "a", "id": 3}, {"name": "a", "id": 4}]})",
         ".domains: duplicate domain name \"a\""},
        {R"({"domains": [{"name": "a", "id": 3, "load": {"core": 150}}]})",
         ".domains[0].load.core: out of range"},
        {R"({"domains": [{"name": "a", "id": 3, "pmu_start": [1, 2]}]})",
         ".domains[0].pmu_start: must be an array of three counter values"},
        {R"({"domains": [{"name": "a", "id": -1}]})", ".domains[0].id: out of range"},
        {R"({"domains": [{"name": "a", "id": "3x"}]})", ".domains[0].id: not an integer: \"3x\""},
        {R"({"faults": [{"call": "remote_open"}]})",
         ".faults[0].call: no such platform call: \"remote_open\""},
        {R"({"faults": [{"call": "HAP_power_get", "crash": true}]})",
         ".faults[0].crash: only an invocation can crash the DSP"},
        {R"({"faults": [{"call": "HAP_power_get", "domain": "nowhere"}]})",
         ".faults: fault names unknown domain \"nowhere\""},
        {R"({"soc_id": true})",
         ".soc_id: must be a number, a string, null or {\"unreadable\": true}"},
        {R"({"thermal_zones": [{"type": "nsp0"}]})",
         ".thermal_zones[0]: a thermal zone needs \"type\" and \"temp_millicelsius\""},
        {R"({"thermal_zones": [{"type": "nsp0", "temp_millicelsius": 1, "trip": 2}]})",
         ".thermal_zones[0]: unknown key \"trip\""},
        {R"({"thermal_zones": [{"type": "z", "temp_millicelsius": 1, "trips": [{"type": "warm",
            "temp_millicelsius": 2}]}]})",
         ".thermal_zones[0].trips[0].type: must be active, passive, hot or critical"},
        {R"({"thermal_zones": [{"type": "z", "temp_millicelsius": 1, "trips": [{"type": "hot"}]}]})",
         ".thermal_zones[0].trips[0]: a trip point needs \"type\" and \"temp_millicelsius\""},
        {R"({"domains": [{"name": "a", "id": 3, "load": {"period_ms": 10}}]})",
         ".domains[0].load: \"steps\" and \"period_ms\" go together"},
        {R"({"domains": [{"name": "a", "id": 3, "load": {"period_ms": 10, "steps": []}}]})",
         ".domains[0].load.steps: must be an array of 1 to 16 steps"},
        {R"({"domains": [{"name": "a", "id": 3, "load": {"period_ms": 10,
            "steps": [{"at_ms": 5, "core": 1}]}}]})",
         ".domains[0].load.steps[0].at_ms: the first step starts at 0"},
        {R"({"domains": [{"name": "a", "id": 3, "load": {"period_ms": 10,
            "steps": [{"at_ms": 0}, {"at_ms": 5}, {"at_ms": 5}]}}]})",
         ".domains[0].load.steps[2].at_ms: steps must start in increasing order"},
        {R"({"domains": [{"name": "a", "id": 3, "load": {"period_ms": 5,
            "steps": [{"at_ms": 0}, {"at_ms": 5}]}}]})",
         ".domains[0].load.period_ms: must be greater than the last step's at_ms"},
        {R"({"domains": [{"name": "a", "id": 3, "load": {"period_ms": 10,
            "steps": [{"core": 1}]}}]})",
         ".domains[0].load.steps[0]: a step needs \"at_ms\""},
        {R"({"domains": [{"name": "a", "id": 3, "remoteproc": {"state": "up"}}]})",
         ".domains[0].remoteproc.state: must be offline, suspended, running, attached, crashed, "
         "deleted or invalid"},
        {R"({"domains": [{"name": "a", "id": 3, "device": {"mode": 432}}]})",
         ".domains[0].device.mode: must be a string of octal digits such as \"0660\""},
        {R"({"domains": [{"name": "a", "id": 3, "device": {"mode": "0980"}}]})",
         ".domains[0].device.mode: must be a string of octal digits such as \"0660\""},
        {R"({"domains": [{"name": "a", "id": 3, "device": {"path": "/tmp/fastrpc"}}]})",
         ".domains[0].device.path: \"/tmp/fastrpc\" is not a file path under /dev/"},
        {R"({"domains": [{"name": "a", "id": 3, "device": {"path": "/dev/../etc/x"}}]})",
         ".domains[0].device.path: \"/dev/../etc/x\" is not a file path under /dev/"},
        {R"({"domains": [{"name": "a/../../x", "id": 3}]})",
         "/../x\" is not a file path under /dev/ (give \"device\")"},
        {R"({"domains": [{"name": "a", "id": 3, "device": {"group": "a:b"}}]})",
         ".domains[0].device.group: must be a user or group name or id"},
        {R"({"domains": [{"name": "a", "id": 3, "device": {"path": "/dev/x"}},
                        {"name": "b", "id": 4, "device": {"path": "/dev/x", "mode": "0600"}}]})",
         ".domains: domains share the device node /dev/x with different mode, owner or group"},
        {R"({"domains": [{"name": "a", "id": 3}], "dsp_crashes": [{"domain": "b", "at_ms": 0,
            "for_ms": 1}]})",
         ".dsp_crashes: names unknown domain \"b\""},
        {R"({"domains": [{"name": "a", "id": 3}], "dsp_crashes": [{"domain": "a", "at_ms": 0}]})",
         ".dsp_crashes[0]: a DSP crash needs \"domain\", \"at_ms\" and \"for_ms\""},
        {R"({"domains": [{"name": "a", "id": 3}], "dsp_crashes": [{"domain": "a", "at_ms": 0,
            "for_ms": 10, "every_ms": 10}]})",
         ".dsp_crashes[0].every_ms: must be greater than for_ms"},
        {R"({"installed": {"libkestrel_skel": "hexagon"}})",
         ".installed.libkestrel_skel: must be build, host or none"},
        {R"({"installed": {"libkestrel": "yes"}})", ".installed.libkestrel: "},
        {R"({"installed": {"libadsprpc": false}})", ".installed: unknown key \"libadsprpc\""},
    };
    for (const auto& [text, message] : bad) {
        try {
            parse(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const BoardError& e) {
            EXPECT_THAT(e.what(), ::testing::HasSubstr(message)) << text;
        }
    }
    try {
        parse(R"({"domains": [{"name": "a", "id": 3, "vtcm": 1}]})");
        FAIL() << "unknown key accepted";
    } catch (const BoardError& e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr("domains[0]"));
        EXPECT_THAT(e.what(), ::testing::HasSubstr("vtcm"));
    }
}

TEST(SimBoardProfile, ExtendsMergesDomainsByNameAndReplacesLists) {
    TempDir dir;
    ASSERT_TRUE(std::filesystem::create_directories(dir.file("sub")));
    write_file(dir.file("base.json"), R"({
        "soc_id": 1, "library": "minimal",
        "domains": [{"name": "a", "id": 3, "arch": 104, "load": {"core": 10, "hvx": 5}},
                    {"name": "b", "id": 4}, {"name": "c", "id": 5}],
        "faults": [{"call": "remote_handle64_open"}]})");
    write_file(dir.file("sub/child.json"), R"({
        "extends": "../base.json", "soc_id": 2,
        "domains": [{"name": "a", "load": {"core": 20}}, {"name": "b", "remove": true},
                    {"name": "d", "id": 6}],
        "faults": [{"call": "remote_handle64_close"}]})");
    Board b = load_board(dir.file("sub/child.json"));
    EXPECT_EQ(b.soc_text, "2\n");
    EXPECT_EQ(b.library, "minimal");
    ASSERT_EQ(b.domains.size(), 3u);
    EXPECT_EQ(b.domains[0].name, "a");
    EXPECT_EQ(b.domains[0].arch, 104u);
    EXPECT_DOUBLE_EQ(b.domains[0].load.core, 0.20);
    EXPECT_DOUBLE_EQ(b.domains[0].load.hvx, 0.05);
    EXPECT_EQ(b.domains[1].name, "c");
    EXPECT_EQ(b.domains[2].name, "d");
    ASSERT_EQ(b.faults.size(), 1u);
    EXPECT_EQ(b.faults[0].call, "remote_handle64_close");
}

TEST(SimBoardProfile, ExtendsABuiltinAndDetectsLoops) {
    TempDir dir;
    write_file(dir.file("nopmu.json"), R"({"extends": "sm8650",
        "domains": [{"name": "cdsp", "pmu": false}]})");
    Board b = load_board(dir.file("nopmu.json"));
    EXPECT_EQ(b.soc_text, "557\n");
    ASSERT_EQ(b.domains.size(), 1u);
    EXPECT_FALSE(b.domains[0].pmu);
    EXPECT_EQ(b.domains[0].arch, 0x75u);

    write_file(dir.file("loop.json"), R"({"extends": "loop.json"})");
    EXPECT_THROW(load_board(dir.file("loop.json")), BoardError);
    EXPECT_THROW(load_board("no_such_board"), BoardError);
    EXPECT_THROW(load_board(dir.file("absent.json")), BoardError);
    write_file(dir.file("broken.json"), "{\"soc_id\": ");
    EXPECT_THROW(load_board(dir.file("broken.json")), BoardError);
    write_file(dir.file("overflow.json"), R"({"soc_id": 1e999})");
    EXPECT_THROW(load_board(dir.file("overflow.json")), BoardError);
    write_file(dir.file("remove.json"), R"({"extends": "sm8650",
        "domains": [{"name": "cdsp", "remove": 1}]})");
    EXPECT_THROW(load_board(dir.file("remove.json")), BoardError);
}

TEST(SimBoardProfile, DomainLookupPrefersIdsOverEffectiveIds) {
    Board b = parse(R"({"domains": [{"name": "x", "id": 3, "effective_id": 4},
                                     {"name": "y", "id": 4, "effective_id": 9}]})");
    EXPECT_EQ(b.find_by_id(4)->name, "y");
    EXPECT_EQ(b.find_by_id(9)->name, "y");
    EXPECT_EQ(b.find_by_id(3)->name, "x");
    EXPECT_EQ(b.find_by_id(5), nullptr);
    EXPECT_EQ(b.find_by_name("y")->id, 4u);
    EXPECT_EQ(b.find_by_name("z"), nullptr);
}

}  // namespace
