// The fixture of the DSP query tests (dsp_utils_test, dsp_fallback_test,
// dsp_no_capability_test), which differ in the variant of the fake FastRPC library they link:
// the fake reset, the SoC id of an ordinary SoC (SM8650) in a fake sysfs, and the helpers the
// tests share.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "cpu/dsp_utils.h"
#include "cpu/kestrel_run.h"
#include "fake_fastrpc.h"
#include "test_util.h"

namespace dsp_query_test {

using monitor_test::stdout_of;
using vorlix::kestrel::DspDomainArray;
using vorlix::kestrel::DspInfoItem;
using vorlix::kestrel::DspUtils;

class DspQueryTest : public fake_fastrpc::Test {
  protected:
    void SetUp() override {
        fake_fastrpc::Test::SetUp();
        sysfs.set_soc_id("557\n");
    }
    // Every capability query answers `result` and writes `value`, both read when it is asked.
    static void answer_capability(const uint32_t& value, const int& result) {
        fake().capability = [&value, &result](uint32_t, uint32_t, uint32_t* v) {
            *v = value;
            return result;
        };
    }
    // Asks for the architecture of domain 3, expecting a failure that leaves 0 in place of the
    // value; returns what that printed.
    static std::string failed_arch_query_output() {
        unsigned arch = 0x55;
        int r = 0;
        std::string out = stdout_of([&] { r = DspUtils::get_hex_arch_ver(3, &arch); });
        EXPECT_EQ(r, -1);
        EXPECT_EQ(arch, 0u);
        return out;
    }
    // Builds the domain list, expecting `result`; returns what that printed.
    static std::string domain_array_output(DspDomainArray& domains, int result) {
        return stdout_of(
            [&] { EXPECT_EQ(DspUtils::fastrpc_get_dsp_domain_array(domains), result); });
    }
    monitor_test::FakeSysfs sysfs;
};

// An NSP domain record as the platform describes it.
inline fastrpc_domain make_domain(uint32_t id, const char* name, uint32_t status = 1) {
    fastrpc_domain d;
    memset(&d, 0, sizeof(d));
    d.id = id;
    strncpy(d.name, name, sizeof(d.name) - 1);
    d.type = FASTRPC_NSP;
    d.status = status;
    return d;
}

}  // namespace dsp_query_test
