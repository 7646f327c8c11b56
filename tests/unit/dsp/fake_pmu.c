/* Fakes of the PMU group functions, for DSP images that have them. */
#include "fake_hap.h"

int __HAP_register_pmu_group(HAP_pmu_group_config_t* group) {
    ++fake_hap.calls;
    ++fake_hap.pmu_register_calls;
    fake_hap.pmu_register_record = group;
    fake_hap.pmu_registered = *group;
    if (fake_hap.pmu_register_result != 0) {
        return fake_hap.pmu_register_result;
    }
    group->group_id = fake_hap.pmu_next_group_id++;
    return 0;
}

int __HAP_read_pmu_group(HAP_pmu_group_config_t* group) {
    ++fake_hap.calls;
    ++fake_hap.pmu_read_calls;
    fake_hap.pmu_read_record = group;
    if (fake_hap.pmu_read_result != 0) {
        return fake_hap.pmu_read_result;
    }
    for (int i = 0; i < 4; ++i) {
        group->pmu_values[i] = fake_hap.pmu_values[i];
    }
    return 0;
}

int __HAP_deregister_pmu_group(uint32_t group_id) {
    ++fake_hap.calls;
    ++fake_hap.pmu_deregister_calls;
    fake_hap.pmu_deregistered_id = group_id;
    return fake_hap.pmu_deregister_result;
}
