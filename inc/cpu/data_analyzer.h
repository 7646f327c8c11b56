// Turns one raw sample of the session client into utilisation figures for the DSP's scalar
// core (QDSP6), HVX and HMX units, and prints the figures the options ask for.
#pragma once

#include "cpu/cmdline_user.h"
#include "cpu/stub_loader.h"

namespace vorlix::kestrel {

class DataAnalyzer {
  public:
    DataAnalyzer() = default;
    DataAnalyzer(const DataAnalyzer&) = delete;
    DataAnalyzer& operator=(const DataAnalyzer&) = delete;

    KestrelStub& GetDspStub() { return dsp_stub; }

    // Computes the figures from the session client's last sample, in single precision.
    void analyze();
    void print_dsp();
    void print_hvx();
    void print_hmx();
    void print_all();
    void print_dbg();
    // Recomputes the QDSP6 utilisation from the clock and prints the frequency and QDSP6 lines.
    void print_dsp_legacy();

    float qdsp6_load = 0.0f;         // million processor cycles per second
    float pcpp = 0.0f;               // processor cycles per committed packet
    float mpps = 0.0f;               // million committed packets per second
    float hvx_mpps = 0.0f;           // million HVX packets per second
    float hmx_mcps = 0.0f;           // million HMX active cycles per second
    float qdsp6_utilization = 0.0f;  // percent
    float hmx_utilization = 0.0f;    // percent
    float hvx_utilization = 0.0f;    // percent

  private:
    void print_arch_line();
    void print_freq_line(float mhz);

    KestrelStub dsp_stub;
};

// Limits a utilisation to 0..100; a not-a-number value passes unchanged.
float clamp_utilization(float value);

}  // namespace vorlix::kestrel
