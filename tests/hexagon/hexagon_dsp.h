// Running kestrel on the virtual board with the DSP host built for Hexagon (the hexagon preset's
// program SIM_DSP_HEXAGON_PROGRAM) under qemu-hexagon, and telling that a run did.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"

namespace hexagon_test {

// The options of a run whose DSP processes are the Hexagon program, as the runner's
// --dsp-host hexagon sets them.
inline kestrel_test::ProcessOptions hexagon_dsp() {
    kestrel_test::ProcessOptions opts;
    opts.env_set = {"KESTREL_SIM_DSP_MODE=hexagon",
                    std::string("KESTREL_SIM_DSP_HEXAGON=") + SIM_DSP_HEXAGON_PROGRAM};
    return opts;
}

// The DSP started for the run was the Hexagon program under qemu-hexagon -cpu v67.
inline testing::AssertionResult ran_on_hexagon(const e2e::BoardRun& run) {
    const auto starts = run.calls("dsp_start");
    if (starts.empty()) {
        return testing::AssertionFailure() << "no DSP was started";
    }
    for (const auto& s : starts) {
        const e2e::json expected = {"qemu-hexagon", "-cpu", "v67", SIM_DSP_HEXAGON_PROGRAM};
        if (s.value("command", e2e::json()) != expected || s.value("result", -1) != 0) {
            return testing::AssertionFailure() << "DSP started as " << s.dump();
        }
    }
    return testing::AssertionSuccess();
}

}  // namespace hexagon_test
