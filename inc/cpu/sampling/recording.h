// Recordings: each core event as one line of JSON, written as it happens and flushed, so that a
// run that is killed keeps what it recorded; and read back, in time order, for a replay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cpu/sampling/core_event.h"
#include "cpu/sampling/output_file.h"

namespace vorlix::kestrel {

// One line of a recording (without its line end), e.g.
// {"time":1765263912.5,"index":0,"domain":"nsp0","arch":"V73","legacy":false,"window_ms":1000,
//  "session":"sampling","qdsp6":45.0,"hvx":25.0,"hmx":12.0,"clock_hz":1400000000,
//  "temperature":{"zone":"nsp0","celsius":52.0,"passive":95.0,"critical":115.0},
//  "remoteproc":"running"}
// A failure has "session":"down", "error" and "reopen_in" (seconds) in place of the figures; a
// core without a zone or remote processor has null there. Two keys are written only when known,
// and older readers ignore them: "monotonic" (the monotonic clock's seconds at "time") and, with
// the figures, "measured_ms" (the window's length as the DSP measured it).
std::string event_to_json(const CoreEvent& event);
// False, with the reason in words in `why` (the field that is missing or not what it must be:
// "field \"temperature\" is missing"), for a line that is not such an object, or whose values
// are out of their ranges: a time within 1970..2100 (0..kLatestEventTime), utilisations from 0
// to 100 %, temperatures from -273.15 to 1000 degrees.
bool event_from_json(const std::string& line, CoreEvent* event, std::string* why);

// The latest time a recorded event may have: 2100-01-01 00:00:00 UTC.
inline constexpr double kLatestEventTime = 4102444800.0;

class RecordingWriter {
  public:
    // Creates (or empties) the file. False, with the reason in `why`.
    bool open(const std::string& path, std::string* why);
    // Appends the event and flushes. False once a write has failed; nothing is written after.
    bool write(const CoreEvent& event);
    // Closes the file. False, with the reason of the first failure in `why`, when a write or the
    // close failed.
    bool close(std::string* why);

  private:
    OutputFile file_;
};

// The longest line a recording may have (a line of kestrel-top's is about 300 bytes), and the
// most cores it may hold (more than a board has): beyond them it is malformed, so that a reader
// keeps no more than that.
inline constexpr std::size_t kLongestRecordingLine = 4096;
inline constexpr std::size_t kMostRecordedCores = 64;

// Reads a recording line by line, in the file's order; empty lines are skipped.
class RecordingReader {
  public:
    RecordingReader() = default;
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    // False, with "FILE: reason" in `why`, when the file cannot be opened.
    bool open(const std::string& path, std::string* why);
    // The next line's event. False at the end (`why` empty) or for a malformed line, a line
    // longer than kLongestRecordingLine or a core beyond kMostRecordedCores, with
    // "FILE:LINE: reason" in `why`.
    bool next(CoreEvent* event, std::string* why);
    // Of the line last read: its number (from 1), where it starts in the file and its length.
    std::size_t line() const { return line_; }
    std::uint64_t offset() const { return offset_; }
    std::size_t length() const { return line_text_.size(); }

  private:
    bool read_line(std::string* why);
    bool fail(const std::string& words, std::string* why);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string line_text_;
    std::size_t line_ = 0;
    std::uint64_t offset_ = 0;
    std::uint64_t next_offset_ = 0;
    std::vector<std::uint32_t> cores_;  // the indices seen, ascending
};

// Reads a whole recording (RecordingReader). False, with "FILE:LINE: reason" in `why`, for a
// file that cannot be read, a malformed line or an empty recording. Events come out in time
// order.
bool load_recording(const std::string& path, std::vector<CoreEvent>* events, std::string* why);

}  // namespace vorlix::kestrel
