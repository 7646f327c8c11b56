// kestrel on the virtual board with the DSP host built for Hexagon under qemu-hexagon: the DSP
// side makes the same platform calls as with the DSP host built for this machine (the figures
// are figures_test.cpp's).
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "hexagon_dsp.h"

namespace {

using e2e::BoardRun;
using e2e::run_on_board;
using hexagon_test::hexagon_dsp;
using hexagon_test::ran_on_hexagon;

kestrel_test::ProcessOptions native_dsp() {
    kestrel_test::ProcessOptions opts;
    opts.env_set = {"KESTREL_SIM_DSP_MODE=host"};
    return opts;
}

// The DSP side's calls in order, by name and result only (addresses and readings differ).
std::vector<std::string> dsp_calls(const BoardRun& run) {
    std::vector<std::string> out;
    for (const auto& line : run.trace) {
        if (line.value("side", "") != "dsp") {
            continue;
        }
        std::string call = line.value("call", "");
        if (line.contains("result")) {
            call += " -> " + line["result"].dump();
        }
        if (line.contains("message")) {
            call += " " + line["message"].dump();
        }
        out.push_back(call);
    }
    return out;
}

// Boards with and without the optional DSP runtime functions, legacy mode and a second DSP: the
// DSP side of a run is the same call for call, whichever DSP host runs it.
struct BoardCase {
    const char* name;
    const char* board;  // built-in name, or a profile in tests/hexagon/boards
    std::vector<std::string> args;
};

void PrintTo(const BoardCase& c, std::ostream* os) {
    *os << c.name;
}

class SameAsNativeDsp : public testing::TestWithParam<BoardCase> {};

TEST_P(SameAsNativeDsp, DspCalls) {
    const BoardCase& c = GetParam();
    BoardRun native = run_on_board(c.board, c.args, native_dsp());
    BoardRun hexagon = run_on_board(c.board, c.args, hexagon_dsp());
    EXPECT_TRUE(ran_on_hexagon(hexagon));
    EXPECT_EQ(hexagon.result.exit_code, native.result.exit_code);
    EXPECT_EQ(hexagon.result.err, native.result.err);
    EXPECT_EQ(kestrel_test::split_lines(hexagon.result.out).size(),
              kestrel_test::split_lines(native.result.out).size())
        << "native:\n"
        << native.result.out << "hexagon:\n"
        << hexagon.result.out;
    const auto expected = dsp_calls(native);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(dsp_calls(hexagon), expected);
}

std::string case_name(const testing::TestParamInfo<BoardCase>& param_info) {
    return param_info.param.name;
}

const std::vector<std::string> kShortAll = {"--all", "--sample_time", "100"};

INSTANTIATE_TEST_SUITE_P(
    Boards, SameAsNativeDsp,
    testing::Values(BoardCase{"sm8650", "sm8650", kShortAll},
                    BoardCase{"sm8250_legacy", "sm8250", {"--run_legacy", "--sample_time", "100"}},
                    BoardCase{"qcs9075_second_dsp",
                              "qcs9075",
                              {"--all", "--sample_time", "100", "--cdsp_index", "1"}},
                    BoardCase{"no_pmu_functions", "no_pmu_functions.json", kShortAll},
                    BoardCase{"debug_v2_only", "debug_v2_only.json", kShortAll}),
    case_name);

}  // namespace
