// Session client of the remote interface, reached through the stub library loaded at run time.
#include "cpu/stub_loader.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace vorlix::kestrel {

namespace {

// Looks up one export into `slot`; prints the message naming it when it is missing.
template <typename Fn>
bool resolve(void* lib, const char* name, Fn* slot, std::string* error) {
    void* sym = dlsym(lib, name);
    if (sym == nullptr) {
        const char* why = dlerror();
        std::printf("[ERROR] [KestrelStub] dlsym(%s): %s\n", name, why);
        *error = std::string("dlsym(") + name + "): " + (why != nullptr ? why : "");
        return false;
    }
    *slot = reinterpret_cast<Fn>(sym);
    return true;
}

}  // namespace

void KestrelStub::remote_failure(const char* call, int result) {
    std::printf("[ERROR] [KestrelStub] %s: error code = %x\n", call, static_cast<unsigned>(result));
    last_error = result;
}

KestrelStub::~KestrelStub() {
    sample_finalize(true);
    if (lib_handle != nullptr) {
        dlclose(lib_handle);
        lib_handle = nullptr;
    }
}

bool KestrelStub::init(const std::string& lib_name, int /*domain_id*/, int arch) {
    lib_handle = dlopen(lib_name.c_str(), RTLD_NOW);
    if (lib_handle == nullptr) {
        const char* why = dlerror();
        std::printf("[ERROR] [KestrelStub] dlopen(): %s\n", why);
        load_error = why != nullptr ? why : "";
        return false;
    }
    if (!resolve(lib_handle, "kestrel_open", &open_fn, &load_error) ||
        !resolve(lib_handle, "kestrel_close", &close_fn, &load_error) ||
        !resolve(lib_handle, "kestrel_get_group_pmt_value", &get_group_pmt_value_fn, &load_error) ||
        !resolve(lib_handle, "kestrel_get_legacy_perf_value", &get_legacy_perf_value_fn,
                 &load_error) ||
        !resolve(lib_handle, "kestrel_get_dsp_current_freq", &get_dsp_current_freq_fn,
                 &load_error) ||
        !resolve(lib_handle, "kestrel_pmu_init", &pmu_init_fn, &load_error) ||
        !resolve(lib_handle, "kestrel_pmu_deinit", &pmu_deinit_fn, &load_error)) {
        return false;
    }
    dsp_arch = arch;
    return true;
}

int KestrelStub::sample_initialize(bool init_pmu, const std::string& domain_name) {
    const std::string uri = std::string(kKestrelModuleUri) + domain_name;
    int result = open_fn(uri.c_str(), &handle);
    if (result != 0) {
        remote_failure("kestrel_open()", result);
        return -1;
    }
    is_open = true;
    if (!init_pmu) {
        return 0;
    }
    result = pmu_init_fn(handle);
    if (result != 0) {
        remote_failure("kestrel_pmu_init()", result);
        return -1;
    }
    is_pmu_init = true;
    return 0;
}

int KestrelStub::sleep_window(unsigned long sample_time_ms) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(sample_time_ms / 1000);
    ts.tv_nsec = static_cast<long>((sample_time_ms % 1000) * 1000000);
    if (nanosleep(&ts, nullptr) != 0) {
        if (errno != EINTR) {
            return -1;
        }
        std::printf(
            "[WARN ] [KestrelStub] nanosleep(): interrupted by a signal, it may be abnormal.\n");
    }
    return 0;
}

int KestrelStub::pass_window(unsigned long sample_time_ms) {
    if (wait_window) {
        return wait_window(sample_time_ms) ? 0 : -1;
    }
    return sleep_window(sample_time_ms);
}

int KestrelStub::read_clock(uint32_t* freq, uint32_t* hmx_freq) {
    int32_t f = 0;
    int32_t hf = 0;
    int result = get_dsp_current_freq_fn(handle, &f, &hf);
    if (result != 0) {
        remote_failure("kestrel_get_dsp_current_freq()", result);
        return -1;
    }
    *freq = static_cast<uint32_t>(f);
    *hmx_freq = static_cast<uint32_t>(hf);
    return 0;
}

int KestrelStub::sample_register(unsigned long sample_time_ms) {
    int32_t pkg1 = 0, hvx1 = 0, hmx1 = 0, pkg2 = 0, hvx2 = 0, hmx2 = 0;
    int64_t timer1 = 0, pcycle1 = 0, timer2 = 0, pcycle2 = 0;
    int result = get_group_pmt_value_fn(handle, &pkg1, &hvx1, &hmx1, &timer1, &pcycle1);
    if (result != 0) {
        remote_failure("kestrel_get_group_pmt_value(1)", result);
        return -1;
    }
    if (pass_window(sample_time_ms) != 0) {
        return -1;
    }
    result = get_group_pmt_value_fn(handle, &pkg2, &hvx2, &hmx2, &timer2, &pcycle2);
    if (result != 0) {
        remote_failure("kestrel_get_group_pmt_value(2)", result);
        return -1;
    }
    uint32_t freq = 0, hmx_freq = 0;
    if (read_clock(&freq, &hmx_freq) != 0) {
        return -1;
    }
    // Differences in unsigned arithmetic: a 32-bit counter that wrapped between the readings
    // still gives its true increase.
    store_window(timer1, timer2, pcycle1, pcycle2, freq, hmx_freq);
    committed_packets =
        static_cast<float>(static_cast<uint32_t>(pkg2) - static_cast<uint32_t>(pkg1));
    hvx_packets = static_cast<float>(static_cast<uint32_t>(hvx2) - static_cast<uint32_t>(hvx1));
    hmx_active_cycles =
        static_cast<float>(static_cast<uint32_t>(hmx2) - static_cast<uint32_t>(hmx1));
    return 0;
}

int KestrelStub::sample_register_legacy(unsigned long sample_time_ms) {
    int64_t timer1 = 0, pcycle1 = 0, timer2 = 0, pcycle2 = 0;
    int result = get_legacy_perf_value_fn(handle, &timer1, &pcycle1);
    if (result != 0) {
        remote_failure("kestrel_get_legacy_perf_value(2)", result);
        return -1;
    }
    if (pass_window(sample_time_ms) != 0) {
        return -1;
    }
    result = get_legacy_perf_value_fn(handle, &timer2, &pcycle2);
    if (result != 0) {
        remote_failure("kestrel_get_legacy_perf_value(2)", result);
        return -1;
    }
    uint32_t freq = 0, hmx_freq = 0;
    if (read_clock(&freq, &hmx_freq) != 0) {
        return -1;
    }
    store_window(timer1, timer2, pcycle1, pcycle2, freq, hmx_freq);
    return 0;
}

void KestrelStub::store_window(int64_t timer1, int64_t timer2, int64_t pcycle1, int64_t pcycle2,
                               uint32_t freq, uint32_t hmx_freq) {
    measured_time_ms =
        static_cast<float>(static_cast<uint64_t>(timer2) - static_cast<uint64_t>(timer1)) / 1000.0f;
    processor_cycles =
        static_cast<float>(static_cast<uint64_t>(pcycle2) - static_cast<uint64_t>(pcycle1));
    dsp_freq_hz = static_cast<float>(freq);
    hmx_freq_hz = static_cast<float>(hmx_freq);
}

int KestrelStub::sample_finalize(bool deinit_pmu) {
    // The group can be released only through the session that registered it, so a failed
    // release is tried once more before the session goes; a group that stays registered fails
    // the run. The handle's value does not matter: an open session is released and closed.
    bool released = true;
    if (deinit_pmu && is_pmu_init && is_open) {
        for (int attempt = 0; attempt < 2 && is_pmu_init; ++attempt) {
            int result = pmu_deinit_fn(handle);
            if (result != 0) {
                remote_failure("kestrel_pmu_deinit()", result);
            } else {
                is_pmu_init = false;
            }
        }
        released = !is_pmu_init;
    }
    if (!is_open) {
        return released ? 0 : -1;
    }
    int result = close_fn(handle);
    if (result != 0) {
        remote_failure("kestrel_close()", result);
        return -1;
    }
    handle = 0;
    is_open = false;
    return released ? 0 : -1;
}

}  // namespace vorlix::kestrel
