// Metric analysis of one sample and the report lines.
#include "cpu/data_analyzer.h"

#include <cstdio>

namespace vorlix::kestrel {

float clamp_utilization(float value) {
    if (value < 0.0f) {
        return 0.0f;
    }
    if (value > 100.0f) {
        return 100.0f;
    }
    return value;
}

void DataAnalyzer::analyze() {
    const KestrelStub& s = dsp_stub;
    // Every step is one single-precision operation, in this order.
    const float seconds = s.measured_time_ms / 1000.0f;
    pcpp = s.processor_cycles / s.committed_packets;
    const float mhz = s.dsp_freq_hz / 1000000.0f;
    hvx_mpps = (s.hvx_packets / seconds) / 1000000.0f;
    hmx_mcps = (s.hmx_active_cycles / seconds) / 1000000.0f;
    qdsp6_load = (s.processor_cycles / seconds) / 1000000.0f;
    mpps = (s.committed_packets / seconds) / 1000000.0f;
    hvx_utilization = clamp_utilization((hvx_mpps * 100.0f * pcpp) / qdsp6_load);
    hmx_utilization = clamp_utilization((hmx_mcps * 100.0f) / qdsp6_load);
    qdsp6_utilization = clamp_utilization((qdsp6_load * 100.0f) / mhz);
}

void DataAnalyzer::print_arch_line() {
    std::printf("dsp arch: V%02x\n", static_cast<unsigned>(dsp_stub.dsp_arch));
}

void DataAnalyzer::print_freq_line(float mhz) {
    std::printf("dsp current freq: %f (MHz), current sample time(ms): %f\n",
                static_cast<double>(mhz), static_cast<double>(dsp_stub.measured_time_ms));
}

void DataAnalyzer::print_dsp() {
    print_freq_line(dsp_stub.dsp_freq_hz / 1000000.0f);
    std::printf("qdsp6 utilization: %f (%%)\n", static_cast<double>(qdsp6_utilization));
}

void DataAnalyzer::print_hvx() {
    print_freq_line(dsp_stub.dsp_freq_hz / 1000000.0f);
    std::printf("hvx utilization: %f (%%)\n", static_cast<double>(hvx_utilization));
}

void DataAnalyzer::print_hmx() {
    print_freq_line(dsp_stub.dsp_freq_hz / 1000000.0f);
    std::printf("hmx utilization: %f (%%)\n", static_cast<double>(hmx_utilization));
}

void DataAnalyzer::print_all() {
    print_arch_line();
    print_freq_line(dsp_stub.dsp_freq_hz / 1000000.0f);
    std::printf("qdsp6 utilization: %f (%%)\n", static_cast<double>(qdsp6_utilization));
    std::printf("hvx utilization: %f (%%)\n", static_cast<double>(hvx_utilization));
    std::printf("hmx utilization: %f (%%)\n", static_cast<double>(hmx_utilization));
}

void DataAnalyzer::print_dbg() {
    const KestrelStub& s = dsp_stub;
    print_arch_line();
    std::printf("Measured time period = %f(ms)\n", static_cast<double>(s.measured_time_ms));
    std::printf("Processor cycles = %f\n", static_cast<double>(s.processor_cycles));
    std::printf("Commited packets = %f\n", static_cast<double>(s.committed_packets));
    std::printf("HVX packets = %f\n", static_cast<double>(s.hvx_packets));
    std::printf("HMX active cycles = %f\n", static_cast<double>(s.hmx_active_cycles));
    std::printf("dsp freq = %f(hz)\n", static_cast<double>(s.dsp_freq_hz));
    std::printf("hmx freq = %f(hz) (Now, Not Support)\n", static_cast<double>(s.hmx_freq_hz));
    std::printf("qdsp6_load = %f\n", static_cast<double>(qdsp6_load));
    std::printf("pcpp = %f\n", static_cast<double>(pcpp));
    std::printf("mpps = %f\n", static_cast<double>(mpps));
    std::printf("hvx_mpps = %f\n", static_cast<double>(hvx_mpps));
    std::printf("hmx_mcps = %f\n", static_cast<double>(hmx_mcps));
    std::printf("qdsp6_utilization = %f\n", static_cast<double>(qdsp6_utilization));
    std::printf("hmx_utilization = %f\n", static_cast<double>(hmx_utilization));
    std::printf("hvx_utilization = %f\n", static_cast<double>(hvx_utilization));
}

void DataAnalyzer::print_dsp_legacy() {
    const float mhz = dsp_stub.dsp_freq_hz / 1000000.0f;
    qdsp6_utilization = clamp_utilization((qdsp6_load * 100.0f) / mhz);
    print_freq_line(mhz);
    std::printf("qdsp6 utilization: %f (%%)\n", static_cast<double>(qdsp6_utilization));
}

}  // namespace vorlix::kestrel
