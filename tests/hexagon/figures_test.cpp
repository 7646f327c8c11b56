// kestrel on the virtual board with the DSP side built for Hexagon under qemu-hexagon: in the
// host presets with kestrel built for this machine, in the aarch64 preset with kestrel and
// libkestrel.so built for the board under qemu-aarch64, so that each side runs its own
// instruction set as shipped. The figures are the board's loads (steady, or in steps) and the
// DSP is left clean.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "hexagon_dsp.h"

namespace {

struct FiguresCase {
    const char* board;
    std::vector<std::string> args;
    // What the board's DSP shows: architecture, clock as printed, loads in percent.
    const char* arch;
    const char* mhz;
    double sample_ms, core, hvx, hmx;
};

void PrintTo(const FiguresCase& c, std::ostream* os) {
    *os << c.board;
}

class HexagonDspFigures : public testing::TestWithParam<FiguresCase> {};

TEST_P(HexagonDspFigures, AreTheBoardsLoads) {
    const FiguresCase& c = GetParam();
    e2e::BoardRun run = e2e::run_on_board(c.board, c.args, hexagon_test::hexagon_dsp());
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_EQ(run.result.err, "");
    EXPECT_TRUE(e2e::lines_match(run.result.out,
                                 e2e::all_lines(c.arch, c.mhz, c.sample_ms, c.core, c.hvx, c.hmx)));
    EXPECT_TRUE(hexagon_test::ran_on_hexagon(run));
    EXPECT_TRUE(e2e::left_clean(run));
}

std::string case_name(const testing::TestParamInfo<FiguresCase>& param_info) {
    return param_info.param.board;
}

// The default board with kestrel's default window, and the second DSP of another board.
INSTANTIATE_TEST_SUITE_P(
    Boards, HexagonDspFigures,
    testing::Values(FiguresCase{"sm8650", {"--all"}, "V75", "1000.000000", 1000, 45, 25, 12},
                    FiguresCase{"qcs9075",
                                {"--all", "--sample_time", "200", "--cdsp_index", "1"},
                                "V73",
                                "1200.000000",
                                200,
                                70,
                                40,
                                20}),
    case_name);

// A load in steps, through the Hexagon build of the runtime (32-bit, its own arithmetic).
TEST(HexagonDspSteps, ReportsFollowTheBoardsTwoSteps) {
    kestrel_test::ProcessOptions opts = hexagon_test::hexagon_dsp();
    opts.sigint_on_output = "hmx utilization";
    opts.sigint_on_output_count = 10;
    e2e::BoardRun run =
        e2e::run_on_board("steps_sm8650.json", {"--follow", "--all", "--sample_time", "250"}, opts);
    EXPECT_EQ(run.result.exit_code, 0);
    EXPECT_TRUE(e2e::follows_two_steps(run.result.out, {20, 10, 5}, {80, 50, 30}));
    EXPECT_TRUE(hexagon_test::ran_on_hexagon(run));
    EXPECT_TRUE(e2e::left_clean(run));
}

}  // namespace
