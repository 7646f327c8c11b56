# Dynamic symbols of the DSP library, for the ELF checks of its host and Hexagon builds.
set(KESTREL_SKEL_EXPORTS
    "kestrel_skel_handle_invoke kestrel_skel_handle_invoke_uri"
    " kestrel_skel_handle_invoke_qaic_version kestrel_slim kestrel_open kestrel_close"
    " kestrel_get_legacy_perf_value kestrel_pmu_init kestrel_pmu_deinit"
    " kestrel_get_group_pmt_value kestrel_get_dsp_current_freq")
string(CONCAT KESTREL_SKEL_EXPORTS ${KESTREL_SKEL_EXPORTS})
set(KESTREL_SKEL_UNDEFINED "HAP_power_set HAP_power_get HAP_debug __wrap_malloc __wrap_free")
set(KESTREL_SKEL_WEAK_UNDEFINED
    "__HAP_register_pmu_group __HAP_read_pmu_group __HAP_deregister_pmu_group HAP_debug_runtime HAP_debug_v2")
