// The recording's lines: what kestrel-top wrote before still reads, a malformed line is told in
// words (the field and what is wrong with it), and a reader keeps to its bounds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "cpu/sampling/recording.h"

namespace vorlix::kestrel {
namespace {

// A line as kestrel-top has written them since its first recordings.
constexpr const char* kWritten =
    R"({"arch":"V73","clock_hz":1400000000.0,"domain":"nsp0","hmx":12.0,"hvx":25.0,)"
    R"("index":0,"legacy":false,"qdsp6":45.0,"remoteproc":"running","session":"sampling",)"
    R"("temperature":{"celsius":52.0,"critical":115.0,"passive":95.0,"zone":"nsp0"},)"
    R"("time":1765263912.5,"window_ms":1000})";

TEST(Recording, ALineWrittenBeforeReadsAndWritesBackTheSame) {
    CoreEvent event;
    std::string why;
    ASSERT_TRUE(event_from_json(kWritten, &event, &why)) << why;
    EXPECT_EQ(event.domain, "nsp0");
    EXPECT_EQ(event.window_ms, 1000u);
    EXPECT_TRUE(event.has_figures);
    EXPECT_FLOAT_EQ(event.hvx, 25.0f);
    EXPECT_TRUE(event.temperature.has_critical);
    EXPECT_EQ(event.temperature.critical, 115.0);
    EXPECT_EQ(event_to_json(event), kWritten);

    CoreEvent down;
    down.time = 1765263913.0;
    down.domain = "nsp3";
    down.session = SessionState::kDown;
    down.error = "open failed (0x80000608: the DSP process died or could not start)";
    down.reopen_in = 2.0;
    CoreEvent back;
    ASSERT_TRUE(event_from_json(event_to_json(down), &back, &why)) << why;
    EXPECT_EQ(back.session, SessionState::kDown);
    EXPECT_EQ(back.error, down.error);
    EXPECT_EQ(back.reopen_in, 2.0);
    EXPECT_FALSE(back.has_figures);
    EXPECT_FALSE(back.temperature.present);
}

// `line` with `field`'s value replaced by `value` (or the field left out, for an empty value).
std::string with(const std::string& field, const std::string& value) {
    nlohmann::json line = nlohmann::json::parse(kWritten);
    if (value.empty()) {
        line.erase(field);
    } else {
        line[field] = nlohmann::json::parse(value);
    }
    return line.dump();
}

TEST(Recording, AMalformedLineIsToldInWordsWithItsField) {
    const std::pair<std::string, std::string> cases[] = {
        {with("temperature", ""), R"(field "temperature" is missing)"},
        {with("index", "-1"), R"(field "index" is -1, not a whole number from 0 to 4294967295)"},
        {with("index", "1.5"), R"(field "index" is 1.5, not a whole number from 0 to 4294967295)"},
        {with("domain", "7"), R"(field "domain" is 7, not a text)"},
        {with("qdsp6", "140"), R"(field "qdsp6" is 140, not a percentage from 0 to 100)"},
        {with("time", "1e300"), R"(field "time" is 1e+300, not a time within 1970..2100)"},
        {with("session", R"("asleep")"),
         R"(field "session" is "asleep", not "opening", "sampling" or "down")"},
        {with("session", R"("down")"), R"(field "error" is missing)"},
        {with("temperature", R"({"zone":"nsp0"})"), R"(field "temperature.celsius" is missing)"},
        {with("legacy", "[1]"), R"(field "legacy" is an array, not true or false)"},
        {R"({"time": 2)", "not JSON (at byte 11)"},
        {R"({"time": 1e999})", "not JSON (a number out of range)"},
        {"[1, 2]", "not a JSON object"},
    };
    for (const auto& [line, words] : cases) {
        CoreEvent event;
        std::string why;
        EXPECT_FALSE(event_from_json(line, &event, &why)) << line;
        EXPECT_EQ(why, words) << line;
    }
}

class RecordingFile : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-recording-XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = pattern;
    }
    void TearDown() override { std::remove(path_.c_str()); }

    // Reads the file through; the reason it stopped ("" at its end).
    std::string read_all(const std::string& content, std::size_t* events) {
        std::ofstream(path_, std::ios::binary) << content;
        RecordingReader reader;
        std::string why;
        EXPECT_TRUE(reader.open(path_, &why)) << why;
        CoreEvent event;
        *events = 0;
        while (reader.next(&event, &why)) {
            ++*events;
        }
        return why.empty() ? why : why.substr(path_.size());
    }

    std::string line(std::uint32_t index) {
        nlohmann::json event = nlohmann::json::parse(kWritten);
        event["index"] = index;
        return event.dump() + "\n";
    }

    std::string path_;
};

TEST_F(RecordingFile, AnOverlongLineOrACoreBeyondTheSixtyFourthIsMalformed) {
    std::size_t events = 0;
    // Empty lines are skipped but counted.
    EXPECT_EQ(read_all(line(0) + "\n" + std::string(5000, ' ') + "\n" + line(1), &events),
              ":3: the line is longer than 4096 bytes");
    EXPECT_EQ(events, 1u);

    std::string cores;
    for (std::uint32_t index = 0; index < 64; ++index) {
        cores += line(index * 1000) + line(index * 1000);
    }
    EXPECT_EQ(read_all(cores, &events), "");
    EXPECT_EQ(events, 128u);
    EXPECT_EQ(read_all(cores + line(7), &events),
              ":129: core index 7 is core 65; a recording holds at most 64");
    EXPECT_EQ(events, 128u);
}

}  // namespace
}  // namespace vorlix::kestrel
