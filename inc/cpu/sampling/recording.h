// Recordings: each core event as one line of JSON, written as it happens and flushed, so that a
// run that is killed keeps what it recorded; and read back, in time order, for a replay.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "cpu/sampling/core_event.h"

namespace vorlix::kestrel {

// One line of a recording (without its line end), e.g.
// {"time":1765263912.5,"index":0,"domain":"nsp0","arch":"V73","legacy":false,"window_ms":1000,
//  "session":"sampling","qdsp6":45.0,"hvx":25.0,"hmx":12.0,"clock_hz":1400000000,
//  "temperature":{"zone":"nsp0","celsius":52.0,"passive":95.0,"critical":115.0},
//  "remoteproc":"running"}
// A failure has "session":"down", "error" and "reopen_in" (seconds) in place of the figures; a
// core without a zone or remote processor has null there.
std::string event_to_json(const CoreEvent& event);
// False, with the reason in `why`, for a line that is not such an object or whose time is not
// within 1970..2100 (0..kLatestEventTime).
bool event_from_json(const std::string& line, CoreEvent* event, std::string* why);

// The latest time a recorded event may have: 2100-01-01 00:00:00 UTC.
inline constexpr double kLatestEventTime = 4102444800.0;

class RecordingWriter {
  public:
    RecordingWriter() = default;
    // Closes the file when still open.
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Creates (or empties) the file. False, with the reason in `why`.
    bool open(const std::string& path, std::string* why);
    // Appends the event and flushes. False once a write has failed; nothing is written after.
    bool write(const CoreEvent& event);
    // Closes the file. False, with the reason of the first failure in `why`, when a write or the
    // close failed.
    bool close(std::string* why);

  private:
    std::FILE* file_ = nullptr;
    std::string path_;
    int error_ = 0;  // errno of the first failed write; 0 while none failed
};

// Reads a recording. False, with "FILE:LINE: reason" in `why`, for a file that cannot be read,
// a malformed line or an empty recording. Events come out in time order.
bool load_recording(const std::string& path, std::vector<CoreEvent>* events, std::string* why);

}  // namespace vorlix::kestrel
