// One simulated DSP: a child process running the DSP host, reached over a socket pair that is
// the child's standard input and output, speaking the framed protocol of sim_proto.h.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrel_sim {

class DspLink {
  public:
    using TraceSink = std::function<void(const std::string&)>;

    DspLink() = default;
    ~DspLink();
    DspLink(const DspLink&) = delete;
    DspLink& operator=(const DspLink&) = delete;

    // Starts argv[0] (looked up in PATH when it has no "/") with SIGINT ignored and sends the
    // configuration frame. False when the process cannot be started.
    bool start(const std::vector<std::string>& argv, const std::vector<uint8_t>& config);
    // Sends one request frame (header and payload, see messages.h) in one write and waits for
    // the reply's payload (into *reply, reusing its storage), passing trace lines that arrive
    // meanwhile to the sink. False when the
    // DSP is gone (the link is then dead for good).
    bool request(const std::vector<uint8_t>& frame, std::vector<uint8_t>* reply,
                 const TraceSink& sink);
    bool alive() const { return fd_ >= 0; }
    pid_t pid() const { return pid_; }
    // Closes the link (the DSP sees end of file and exits) and reaps the process.
    void stop();
    // Ends the process at once (SIGKILL), as a crash would, and reaps it.
    void kill();

  private:
    bool send(const std::vector<uint8_t>& frame);
    void mark_dead();

    int fd_ = -1;
    pid_t pid_ = -1;
    std::string trace_line_;  // the last trace line received
};

}  // namespace kestrel_sim
