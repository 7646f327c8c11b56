// A recording as kestrel-top replays it, fed arbitrary bytes: each line read as an event, the
// whole as a recording file replayed and drawn. A line is either an event, whose line written
// again reads back to the same line, or refused with the reason in words (no JSON library's
// exception text); a recording loads within its bounds or is refused by line; whatever it holds,
// every step of the replay is drawn within the terminal's size, with no control character.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "cpu/sampling/recording.h"
#include "cpu/top/layout.h"
#include "cpu/top/replay.h"
#include "fuzz_support.h"

namespace {

using namespace vorlix::kestrel;
using namespace vorlix::kestrel::top;

char recording_path[] = "/tmp/kestrel-fuzz-recording.XXXXXX";

void remove_recording() {
    unlink(recording_path);
}

const std::string& recording_file() {
    static const std::string path = [] {
        const int fd = mkstemp(recording_path);
        FUZZ_CHECK(fd >= 0);
        close(fd);
        std::atexit(remove_recording);
        return std::string(recording_path);
    }();
    return path;
}

void check_line(const std::string& line) {
    CoreEvent event;
    std::string why;
    if (!event_from_json(line, &event, &why)) {
        FUZZ_CHECK(!why.empty());
        FUZZ_CHECK(why.find("json.exception") == std::string::npos);
        for (const char c : why) {
            FUZZ_CHECK(c >= 0x20 && c < 0x7f);
        }
        return;
    }
    FUZZ_CHECK(event.time >= 0.0 && event.time <= kLatestEventTime);
    const std::string written = event_to_json(event);
    CoreEvent again;
    FUZZ_CHECK(event_from_json(written, &again, &why));
    FUZZ_CHECK(event_to_json(again) == written);
}

std::size_t columns_of(const std::string& text) {
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xc0) != 0x80 ? 1 : 0;
    }
    return count;
}

void check_screen(const Model& model, std::size_t selected) {
    struct Screen {
        TermSize size;
        bool unicode;
    };
    std::vector<Line> lines;
    for (const Screen screen :
         {Screen{{80, 24}, true}, Screen{{41, 11}, false}, Screen{{170, 50}, true}}) {
        ViewState view;
        view.unicode = screen.unicode;
        view.selected = selected;
        view.now = model.cores.empty() ? 0.0 : model.cores.front().last_time;
        render_screen(model, view, screen.size, &lines);
        FUZZ_CHECK(lines.size() <= static_cast<std::size_t>(screen.size.rows));
        for (const Line& line : lines) {
            FUZZ_CHECK(columns_of(line.text) <= static_cast<std::size_t>(screen.size.columns));
            for (const char c : line.text) {
                FUZZ_CHECK(!(c >= 0 && c < 0x20) && c != 0x7f);
                FUZZ_CHECK(screen.unicode || c > 0);
            }
        }
    }
}

void check_replay(const uint8_t* data, size_t size) {
    {
        std::ofstream out(recording_file(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        FUZZ_CHECK(out.good());
    }
    Recording recording;
    std::string why;
    if (!recording.load(recording_file(), &why)) {
        FUZZ_CHECK(why.rfind(recording_file() + ":", 0) == 0);
        return;
    }
    FUZZ_CHECK(recording.size() > 0 && recording.cores() <= kMostRecordedCores);
    ReplayCursor cursor(recording);
    FUZZ_CHECK(cursor.model().cores.size() == recording.cores());
    check_screen(cursor.model(), 0);
    cursor.seek(cursor.moments());
    FUZZ_CHECK(cursor.moment() + 1 == cursor.moments());
    check_screen(cursor.model(), 1);
    cursor.step_back();
    cursor.step_back();
    check_screen(cursor.model(), recording.cores() - 1);
    cursor.seek(0);
    FUZZ_CHECK(cursor.moment() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= input.size()) {
        const std::size_t end = std::min(input.find('\n', start), input.size());
        check_line(input.substr(start, end - start));
        start = end + 1;
    }
    check_replay(data, size);
    return 0;
}
