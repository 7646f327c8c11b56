# Stand-ins for the DSP runtime's libc.so and libgcc.so, for linking Hexagon shared objects only.
# Linking against them records the two libraries as DT_NEEDED entries, as the DSP's loader
# expects; they are never shipped or run. The DSP runtime's functions stay undefined in the
# linked library and are resolved by the DSP's loader.
include_guard(GLOBAL)

set(_kestrel_standin_dir ${CMAKE_BINARY_DIR}/hexagon-runtime-standins)
set(_kestrel_standin_source ${_kestrel_standin_dir}/standin.c)
file(WRITE ${_kestrel_standin_source}.in
     "/* Link-time stand-in for a DSP runtime library; holds nothing of the runtime. */\n"
     "int kestrel_runtime_standin(void);\n"
     "int kestrel_runtime_standin(void) { return 0; }\n")
configure_file(${_kestrel_standin_source}.in ${_kestrel_standin_source} COPYONLY)

# kestrel_hexagon_runtime_standin(TARGET SONAME_BASE) makes lib<SONAME_BASE>.so.
function(kestrel_hexagon_runtime_standin target base)
    add_library(${target} SHARED ${_kestrel_standin_source})
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME ${base}
        LIBRARY_OUTPUT_DIRECTORY ${_kestrel_standin_dir}
        NO_SONAME OFF
        C_VISIBILITY_PRESET hidden)
endfunction()

if(NOT TARGET kestrel_hexagon_libc)
    kestrel_hexagon_runtime_standin(kestrel_hexagon_libc c)
    kestrel_hexagon_runtime_standin(kestrel_hexagon_libgcc gcc)
endif()
