// The simulated FastRPC platform of the application processor: sessions on simulated DSPs,
// the board's answers to capability, session-control and system requests, injected faults and
// the call trace. The exported libadsprpc.so entry points forward to one instance.
#pragma once

#include <chrono>
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
    // When the application started (the library's load): the board's DSP crashes count from it.
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    // Put in front of the device nodes' paths. Empty on the board, where umockdev (or the
    // emulator's path prefix) serves /dev from the board's tree; a test without either points
    // it at a folder of its own.
    std::string device_root;
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
        uint64_t generation = 0;  // the DSP process it lives in (Dsp::generation)
    };
    // A domain's DSP process. Each one started gets a new generation, so that sessions of a
    // DSP that crashed never reach the one started after it.
    struct Dsp {
        std::unique_ptr<DspLink> link;
        uint64_t generation = 0;
        uint64_t started_ms = 0;  // since the application started
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
    Dsp& dsp_for(const Domain& d);
    std::vector<uint8_t> dsp_config(const Domain& d) const;
    // Sends a request frame to the DSP of `domain`, the one of `generation` (0: whichever runs);
    // false when that DSP is gone.
    bool dsp_request(const std::string& domain, uint64_t generation,
                     const std::vector<uint8_t>& frame, std::vector<uint8_t>* reply);
    uint64_t now_ms() const;
    // Applies the board's DSP crashes to the DSP of `d`: a DSP process that started before the
    // latest crash began is killed, and its sessions are lost. True when the DSP is up now: its
    // remoteproc is running (or attached) and no crash is under way.
    bool dsp_up(const Domain& d);
    // Why the device node of `d` cannot be used by this process; empty when it can.
    std::string device_problem(const Domain& d) const;
    int invoke_locked(Session& s, uint32_t scalars, remote_arg* pra, bool crash, int* transport);

    PlatformOptions opts_;
    Trace trace_;
    std::vector<FaultState> faults_;
    std::map<std::string, Dsp> dsps_;
    std::map<uint64_t, Session> sessions_;
    uint64_t next_handle_ = 1;
    uint64_t next_generation_ = 1;
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
