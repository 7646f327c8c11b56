// The layout: the countdown of a down core, and screens of any size that stay within the
// terminal and show nothing but text, whatever a recording's names hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cpu/top/layout.h"

namespace vorlix::kestrel::top {
namespace {

TEST(Layout, TheCountdownToTheNextAttemptRoundsUp) {
    CoreView core;
    core.session = SessionState::kDown;
    core.reopen_at = 100.0;
    EXPECT_EQ(session_text(core, 99.6), "DOWN, reopening in 1 s");
    EXPECT_EQ(session_text(core, 99.0), "DOWN, reopening in 1 s");
    EXPECT_EQ(session_text(core, 98.8), "DOWN, reopening in 2 s");
    EXPECT_EQ(session_text(core, 100.2), "DOWN, reopening now");
}

std::size_t columns_of(const std::string& text) {
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xc0) != 0x80 ? 1 : 0;
    }
    return count;
}

TEST(Layout, EverySizeStaysWithinTheTerminalAndShowsNoControlCharacter) {
    Model model;
    for (std::uint32_t index = 0; index < 4; ++index) {
        CoreEvent event;
        event.time = 100.0;
        event.index = index;
        // What a recording may hold: an escape sequence in a name, a long error.
        event.domain = index == 1 ? "nsp\x1b[2J\x07" : "nsp" + std::to_string(index);
        event.window_ms = 1000;
        event.has_figures = index != 2;
        event.session = index == 2 ? SessionState::kDown : SessionState::kSampling;
        event.error = std::string(300, 'e') + "\r\n";
        event.qdsp6 = 45.0f;
        event.temperature.present = true;
        event.temperature.zone = "nsp";
        event.temperature.celsius = 93.0;
        event.temperature.has_passive = true;
        event.temperature.passive = 95.0;
        event.has_remoteproc = true;
        event.remoteproc = "crashed\x1b";
        apply_event(event, model, Keep::kFigures);
    }
    std::vector<Line> lines;
    for (const bool unicode : {true, false}) {
        for (int columns = 40; columns <= 250; columns += 7) {
            for (int rows = 10; rows <= 70; rows += 3) {
                ViewState view;
                view.unicode = unicode;
                view.selected = 3;
                render_screen(model, view, {columns, rows}, &lines);
                ASSERT_LE(lines.size(), static_cast<std::size_t>(rows));
                // The selected core's panel is shown, whole, with its last engine's row.
                std::size_t hmx = 0;
                for (const Line& line : lines) {
                    EXPECT_LE(columns_of(line.text), static_cast<std::size_t>(columns))
                        << columns << "x" << rows << ": " << line.text;
                    for (const char c : line.text) {
                        ASSERT_FALSE(c >= 0 && c < 0x20) << line.text;
                        ASSERT_TRUE(unicode || (c > 0 && c < 0x7f)) << line.text;
                    }
                    hmx += line.text.find(" HMX ") != std::string::npos ? 1 : 0;
                }
                EXPECT_GE(hmx, 1u) << columns << "x" << rows;
            }
        }
    }
}

}  // namespace
}  // namespace vorlix::kestrel::top
