# The variants of the fake DSP runtime (fake_hap.c), named by the optional runtime functions they
# have. Included by tests/unit/fakes for the host builds and by tests/hexagon for the Hexagon
# programs.
set(KESTREL_FAKES_DIR ${CMAKE_CURRENT_LIST_DIR})

# Every runtime function: the PMU group functions, HAP_debug_runtime and HAP_debug_v2.
set(KESTREL_FAKE_HAP_full "")
# No PMU group functions and no HAP_debug_v2; HAP_debug_runtime is there.
set(KESTREL_FAKE_HAP_no_pmu FAKE_HAP_WITHOUT_PMU FAKE_HAP_WITHOUT_DEBUG_V2)
# No HAP_debug_runtime; the PMU group functions and HAP_debug_v2 are there.
set(KESTREL_FAKE_HAP_no_debug_runtime FAKE_HAP_WITHOUT_DEBUG_RUNTIME)

# kestrel_fake_hap(VARIANT) : the object library kestrel_fake_hap_VARIANT. The fake defines the
# control-register readers, so it always takes their declarations as calls.
function(kestrel_fake_hap variant)
    set(t kestrel_fake_hap_${variant})
    add_library(${t} OBJECT ${KESTREL_FAKES_DIR}/fake_hap.c)
    target_compile_definitions(${t} PRIVATE ${KESTREL_FAKE_HAP_${variant}}
                                            KESTREL_DSP_EMULATED_REGISTERS)
    target_include_directories(${t} PUBLIC ${KESTREL_FAKES_DIR}
                                    PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    target_link_libraries(${t} PUBLIC platform_hexagon)
    kestrel_set_warnings(${t})
endfunction()
