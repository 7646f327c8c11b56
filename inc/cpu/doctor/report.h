// kestrel-doctor's report: one line per check (its verdict, what it checked, what was found),
// a line of remedy under a failure, and what the libraries printed while a failed check ran.
// The libraries under the checks (the FastRPC layer, the session client) print their log lines
// on standard output; the report keeps a duplicate of the original standard output for itself
// and points descriptor 1 at a capture file, so that those lines never garble it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vorlix::kestrel::doctor {

enum class Verdict {
    kOk,
    kWarn,  // not a failure: kestrel may work, or the check could not tell
    kFail,
    kSkip,  // not run: a link it depends on is broken
};

struct CheckLine {
    Verdict verdict = Verdict::kOk;
    std::string subject;  // what was checked: "SoC", "cdsp device node", ...
    std::string finding;  // what was found, or for a skipped check what it waits for
    std::string remedy;   // what to do; shown under a failure
};

class Report {
  public:
    Report() = default;
    ~Report();
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // Takes standard output over: the report goes to a duplicate of descriptor 1, descriptor 1 to
    // the capture file. False, with errno set, when the descriptors cannot be set up.
    bool open();

    // Starts a check: what the libraries print from here on belongs to it.
    void begin();
    // Prints the check's line; under a failure its remedy and what the libraries printed since
    // begin().
    void add(const CheckLine& line);
    // The last line: how many checks failed and which failed first, or that all passed; and how
    // many warned.
    void summary();

    int failures() const { return failures_; }
    int warnings() const { return warnings_; }

    // Writes what is left. False when the report could not be written (errno set), except when
    // its reader went away.
    bool close();

  private:
    std::vector<std::string> captured_lines();
    // Keeps the errno of the report's first failed write.
    void note_write_error();

    std::FILE* out_ = nullptr;
    int capture_fd_ = -1;
    bool colour_ = false;
    int failures_ = 0;
    int warnings_ = 0;
    std::string first_failure_;
    int write_error_ = 0;
};

}  // namespace vorlix::kestrel::doctor
