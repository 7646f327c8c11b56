// libkestrel_doctor.so: the checks of kestrel-doctor that call the platform, on the sampling core.
#include "cpu/doctor/platform_checks.h"

#include "cpu/dsp_utils.h"

namespace vorlix::kestrel::doctor {

namespace {

bool list_cores(std::uint32_t soc_id, std::vector<CoreTarget>* cores, std::string* error) {
    DspDomainArray domains;
    if (DspUtils::fastrpc_get_dsp_domain_array(domains, static_cast<int>(soc_id)) < 0) {
        *error = "the platform did not list the compute-DSP cores";
        return false;
    }
    *cores = board_cores(soc_id, domains);
    return true;
}

void live_check(const CoreTarget& target, bool legacy, std::uint32_t window_ms, LiveResult* out) {
    CoreSession session(target, legacy);
    out->ok = session.open() && session.sample(window_ms, &out->sample);
    if (out->ok) {
        // A close the platform refuses is a failure of the check too: it leaves the session open.
        out->ok = session.close();
    }
    if (!out->ok) {
        out->failure = session.failure();
        out->failure_text = out->failure.describe();
        session.close();
    }
}

}  // namespace

}  // namespace vorlix::kestrel::doctor

extern "C" __attribute__((visibility("default"))) const vorlix::kestrel::doctor::PlatformChecks*
kestrel_doctor_platform_checks() {
    using namespace vorlix::kestrel::doctor;
    static const PlatformChecks checks = {kPlatformChecksVersion, list_cores, live_check};
    return &checks;
}
