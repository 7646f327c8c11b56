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
