// The time axis every core's plots share: a column per window of wall time, whatever the cores
// do; and the keys as a terminal sends them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cpu/top/input.h"
#include "cpu/top/model.h"

namespace vorlix::kestrel::top {
namespace {

CoreEvent window_of(std::uint32_t index, double time, float qdsp6) {
    CoreEvent event;
    event.time = time;
    event.index = index;
    event.domain = "nsp" + std::to_string(index);
    event.window_ms = 1000;
    event.has_figures = true;
    event.qdsp6 = qdsp6;
    return event;
}

CoreEvent down_of(std::uint32_t index, double time) {
    CoreEvent event = window_of(index, time, 0.0f);
    event.has_figures = false;
    event.session = SessionState::kDown;
    event.error = "sample failed";
    event.reopen_in = 1.0;
    return event;
}

// A core's QDSP6 column, oldest first: its figure, or -1 for a blank one.
std::vector<float> columns(const Model& model, std::size_t core) {
    const History& history = model.cores[core].qdsp6;
    std::vector<float> out;
    for (std::size_t age = history.size(); age-- > 0;) {
        out.push_back(History::blank(history.back(age)) ? -1.0f : history.back(age));
    }
    return out;
}

TEST(TimeAxis, ACoreThatWasDownHasBlankColumnsAndIsInStepAgain) {
    Model model;
    // Two cores whose windows end a few milliseconds apart, in sets of a second; core 1 is down
    // from the third set to the fifth; core 0 goes on.
    for (int set = 0; set < 7; ++set) {
        const double t = 100.0 + set * 1.003;
        apply_event(window_of(0, t, 10.0f + set), model, Keep::kFigures);
        if (set == 2) {
            apply_event(down_of(1, t + 0.01), model, Keep::kFigures);
        } else if (set < 2 || set > 4) {
            apply_event(window_of(1, t + 0.004, 50.0f + set), model, Keep::kFigures);
        }
    }
    EXPECT_EQ(columns(model, 0), (std::vector<float>{10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(columns(model, 1), (std::vector<float>{50, 51, -1, -1, -1, 55, 56}));

    // Every core down for three windows: the axis goes on with the down cores' events, and the
    // next window lands three columns on.
    const double last = model.newest_time;
    apply_event(down_of(0, last + 1.6), model, Keep::kFigures);
    apply_event(down_of(1, last + 2.6), model, Keep::kFigures);
    apply_event(window_of(0, last + 4.0, 20.0f), model, Keep::kFigures);
    const std::vector<float> after = columns(model, 0);
    EXPECT_EQ(std::vector<float>(after.end() - 4, after.end()),
              (std::vector<float>{-1, -1, -1, 20}));
    // A paused view's windows are blank columns all the same.
    apply_event(window_of(0, last + 5.0, 30.0f), model, Keep::kBlank);
    EXPECT_EQ(columns(model, 0).back(), -1.0f);
    EXPECT_EQ(model.columns, 12u);
    EXPECT_EQ(model.cores[1].qdsp6.size(), model.cores[0].qdsp6.size());
}

std::vector<int> keys_of(const std::string& bytes) {
    KeyDecoder decoder;
    std::vector<int> keys;
    decoder.feed(bytes.data(), bytes.size(), &keys);
    if (decoder.escape_pending()) {
        decoder.timeout(&keys);
    }
    return keys;
}

TEST(Keys, ArrowsInEitherModeAreKeysAndALoneEscIsEscOnlyAfterItsDelay) {
    EXPECT_EQ(keys_of("\x1b[B"), std::vector<int>{kKeyDown});
    EXPECT_EQ(keys_of("\x1bOB\x1bOA\x1b[C\x1bOD"),
              (std::vector<int>{kKeyDown, kKeyUp, kKeyRight, kKeyLeft}));
    EXPECT_EQ(keys_of("\x1b[1;5A\x1b[Z\x1b[5~q"),
              (std::vector<int>{kKeyUp, kKeyBackTab, kKeyOther, 'q'}));
    // An arrow split between two reads is still one key; a lone Esc waits for its delay.
    KeyDecoder decoder;
    std::vector<int> keys;
    decoder.feed("\x1b", 1, &keys);
    EXPECT_TRUE(keys.empty());
    EXPECT_TRUE(decoder.escape_pending());
    decoder.feed("[B", 2, &keys);
    EXPECT_EQ(keys, std::vector<int>{kKeyDown});
    EXPECT_EQ(keys_of("\x1b"), std::vector<int>{27});
    EXPECT_EQ(keys_of("\x1bq"), (std::vector<int>{27, 'q'}));
    EXPECT_EQ(action_for_key(kKeyDown), Action::kNext);
    EXPECT_EQ(action_for_key(27), Action::kEscape);
}

}  // namespace
}  // namespace vorlix::kestrel::top
