# The interface definition shared by the stub library and the DSP library: the C declarations
# (kestrel.h, kestrel_slim.h) as an interface target, and the descriptor's source, which each
# library compiles into itself.
# Included by each library's directory: the target is made once, the variable in every scope.
if(NOT TARGET kestrel_idl)
    add_library(kestrel_idl INTERFACE)
    target_include_directories(kestrel_idl INTERFACE ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(kestrel_idl INTERFACE platform_fastrpc)
endif()

set(KESTREL_SLIM_SOURCE ${CMAKE_CURRENT_LIST_DIR}/kestrel_slim.c)
