# kestrel_build_tree_runpath(TARGET DIR...) gives a deliverable linked against shared libraries
# of the build tree the RUNPATH DIR:DIR..., so that it runs from the build tree without
# LD_LIBRARY_PATH. The installed copy carries no RUNPATH: Packaging.cmake removes it.
#
# CMake's own build-tree RPATH of an installed target ends in an empty entry (a reserve that lets
# the path be rewritten in place at install time), and the dynamic loader reads an empty entry
# as the current directory. So CMake's is switched off and the directories are given to the
# linker as they are.
function(kestrel_build_tree_runpath target)
    set_target_properties(${target} PROPERTIES SKIP_BUILD_RPATH ON)
    foreach(dir ${ARGN})
        target_link_options(${target} PRIVATE "LINKER:-rpath,${dir}")
    endforeach()
endfunction()

# kestrel_link_sampling_program(TARGET LIBRARY...) links a program that samples the DSP the way
# kestrel is linked. The FastRPC client library comes after the static libraries that call it
# (kestrel_dsp named before it), or the linker would drop it as not needed. libkestrel.so is
# listed as a needed library although nothing binds from it at link time: the session client
# loads it by name and reaches its functions with dlsym. Run from the build tree, the program
# finds the stub library and the virtual board's full FastRPC client.
function(kestrel_link_sampling_program target)
    target_link_libraries(${target} PRIVATE ${ARGN} kestrel_dsp adsprpc -Wl,--no-as-needed
                                            kestrel_stub -Wl,--as-needed)
    kestrel_build_tree_runpath(${target} $<TARGET_FILE_DIR:kestrel_stub>
                               $<TARGET_FILE_DIR:adsprpc>)
endfunction()
