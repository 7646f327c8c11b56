// The replay's steps: back to the start shows the recording's first state, and a step back from
// far on shows what playing forward to that moment showed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "cpu/sampling/recording.h"
#include "cpu/top/replay.h"

namespace vorlix::kestrel::top {
namespace {

class ReplayTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-replay-XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = pattern;
        // Two cores, 2000 windows (a history keeps 512); core 1 down now and then.
        std::ofstream out(path_);
        for (int window = 0; window < 2000; ++window) {
            for (std::uint32_t index = 0; index < 2; ++index) {
                CoreEvent event;
                event.time = 1000.0 + window + index * 0.01;
                event.index = index;
                event.domain = "nsp" + std::to_string(index);
                event.window_ms = 1000;
                const bool down = index == 1 && window % 50 >= 45;
                event.session = down ? SessionState::kDown : SessionState::kSampling;
                event.error = "sample failed";
                event.has_figures = !down;
                event.qdsp6 = static_cast<float>((window * 7 + index * 3) % 100);
                out << event_to_json(event) << "\n";
            }
        }
    }
    void TearDown() override { std::remove(path_.c_str()); }

    std::string path_;
};

std::vector<float> history(const Model& model, std::size_t core) {
    std::vector<float> out;
    const History& h = model.cores[core].qdsp6;
    for (std::size_t age = 0; age < h.size(); ++age) {
        out.push_back(History::blank(h.back(age)) ? -1.0f : h.back(age));
    }
    return out;
}

TEST_F(ReplayTest, AStepBackShowsWhatPlayingForwardShowed) {
    Recording recording;
    std::string why;
    ASSERT_TRUE(recording.load(path_, &why)) << why;
    ReplayCursor cursor(recording);
    EXPECT_EQ(cursor.moments(), 2000u);
    // The start is the first moment with its figures, and a step back stays there.
    cursor.step_back();
    EXPECT_EQ(cursor.moment(), 0u);
    ASSERT_EQ(cursor.model().cores.size(), 2u);
    EXPECT_TRUE(cursor.model().cores[1].has_figures);
    EXPECT_EQ(cursor.model().cores[1].qdsp6_now, 3.0f);

    ReplayCursor forward(recording);
    forward.seek(1846);  // core 1 down since moment 1845
    cursor.seek(1999);
    cursor.seek(1847);
    cursor.step_back();
    EXPECT_EQ(cursor.moment(), 1846u);
    EXPECT_EQ(cursor.model().cores[1].session, SessionState::kDown);
    EXPECT_EQ(history(cursor.model(), 0), history(forward.model(), 0));
    EXPECT_EQ(history(cursor.model(), 1), history(forward.model(), 1));
    EXPECT_EQ(cursor.time(), forward.time());
}

}  // namespace
}  // namespace vorlix::kestrel::top
