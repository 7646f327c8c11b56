// The remoteproc states of a board whose DSPs crash for a while (Board::dsp_crashes), as this
// process sees them in sysfs. The board's tree is shared by every run of the board, so the
// process gets a copy of its own: made when the simulated library is loaded, named by
// UMOCKDEV_DIR from then on (umockdev reads the variable at every call), kept up to date by a
// small thread that writes each crashed DSP's state file when a crash begins and ends, and
// removed when the process ends. Other processes keep seeing the shared tree.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "board.h"

namespace kestrel_sim {

class SysfsStates {
  public:
    // Nothing (no copy, no thread) for a board without DSP crashes, or when UMOCKDEV_DIR is not
    // set (under the emulator of a cross build the tree is its path prefix, which cannot change
    // for one process) or the copy cannot be made. Call while the process has one thread only:
    // it changes the environment.
    static std::unique_ptr<SysfsStates> start(const Board& board,
                                              std::chrono::steady_clock::time_point started);
    ~SysfsStates();
    SysfsStates(const SysfsStates&) = delete;
    SysfsStates& operator=(const SysfsStates&) = delete;

    const std::string& tree() const { return tree_; }

  private:
    SysfsStates(const Board& board, std::chrono::steady_clock::time_point started,
                std::string tree);
    // Writes every crashing DSP's state for the moment t_ms after the start.
    void write_states(uint64_t t_ms) const;
    void run();

    Board board_;
    std::chrono::steady_clock::time_point started_;
    std::string tree_;
    std::mutex mu_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace kestrel_sim
