/* The PMU group functions of a DSP image that has them. */
#include "hexagon/hap_runtime.h"
#include "runtime.h"

int __HAP_register_pmu_group(HAP_pmu_group_config_t* group) {
    return dsp_rt_pmu_register(group);
}

int __HAP_read_pmu_group(HAP_pmu_group_config_t* group) {
    return dsp_rt_pmu_read(group);
}

int __HAP_deregister_pmu_group(uint32_t group_id) {
    return dsp_rt_pmu_deregister(group_id);
}
