// The simulated FastRPC platform of the application processor: sessions on simulated DSPs,
// the board's answers to capability, session-control and system requests, injected faults and
// the call trace. The exported libadsprpc.so entry points forward to one instance.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "dsp_link.h"
#include "fastrpc/fastrpc_client.h"
#include "trace.h"

namespace kestrel_sim {

struct PlatformOptions {
    Board board;
    std::string trace_path;  // empty: no trace
    // Command line that starts a DSP host: prefix words, then the program.
    std::vector<std::string> dsp_command;
    // ADSP_LIBRARY_PATH is read at each open unless this is set.
    std::optional<std::string> library_path;
};

// Words in front of a DSP host program built alongside this library: none in a native build;
// in a cross build, the emulator that runs the target's programs on this machine.
std::vector<std::string> dsp_host_launcher();

class Platform {
  public:
    explicit Platform(PlatformOptions opts);
    ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    int open(const char* uri, remote_handle64* ph);
    int close(remote_handle64 h);
    int invoke(remote_handle64 h, uint32_t scalars, remote_arg* pra);
    int handle_control(uint32_t req, void* data, uint32_t datalen);
    int session_control(uint32_t req, void* data, uint32_t datalen);
    int system_request(system_req_payload* req);
    // Application-side log functions (HAP_debug_runtime, HAP_debug_v2): into the trace only.
    // Declared as a printf-style function (argument 1 is `this`), so that compilers check the
    // format where one is known and accept the caller's format here.
    __attribute__((format(printf, 6, 0))) void log(const char* call, int level, const char* file,
                                                   int line, const char* format, va_list ap);

    // Writes the final trace line (sessions still open, PMU groups still registered on the
    // DSPs) and stops the DSPs. Later calls do nothing.
    void shutdown();

    size_t open_sessions() const { return sessions_.size(); }
    // Process id of each running simulated DSP, by domain name.
    std::map<std::string, pid_t> dsp_pids() const;
    Trace& trace() { return trace_; }
    const Board& board() const { return opts_.board; }

  private:
    struct Session {
        std::string domain;
        uint32_t module = 0;
        uint64_t dsp_handle = 0;
    };
    struct FaultState {
        Fault fault;
        uint32_t seen = 0;
    };
    struct Hit {
        int32_t result;
        bool crash;
    };

    // Counts the call (SIM_CALL_*) against every matching application-side fault; the first one
    // that fires gives the result.
    std::optional<Hit> fault_for(uint32_t call, std::optional<uint32_t> method,
                                 std::optional<uint32_t> attr, std::optional<uint32_t> request,
                                 const std::string& domain);
    DspLink* dsp_for(const Domain& d);
    std::vector<uint8_t> dsp_config(const Domain& d) const;
    // Sends a request frame to the DSP of `domain`; false when that DSP is gone.
    bool dsp_request(const std::string& domain, const std::vector<uint8_t>& frame,
                     std::vector<uint8_t>* reply);
    int invoke_locked(Session& s, uint32_t scalars, remote_arg* pra, bool crash, int* transport);

    PlatformOptions opts_;
    Trace trace_;
    std::vector<FaultState> faults_;
    std::map<std::string, std::unique_ptr<DspLink>> dsps_;
    std::map<uint64_t, Session> sessions_;
    uint64_t next_handle_ = 1;
    bool shut_down_ = false;
    // An invocation's request frame and reply, kept from one invocation to the next.
    std::vector<uint8_t> frame_;
    std::vector<uint8_t> reply_;
    const std::string no_domain_;  // the domain of a handle that names no session
};

// The trace's JSON value for a possibly unterminated, possibly binary C string of at most n
// bytes.
std::string bounded_string(const char* s, size_t n);

}  // namespace kestrel_sim
