# Reads the table of the platform's optional functions (proto/sim_options.h) for the build:
#
#   KESTREL_SIM_LIBRARIES              the libadsprpc.so variants, in the table's order
#   KESTREL_SIM_LIBRARY_EXPORTS_<V>    the optional entry points variant V exports
#   KESTREL_SIM_DSP_OPTIONS            the keys of the optional DSP runtime functions, in order
#                                      (the option at position n has configuration bit n)
#   KESTREL_SIM_DSP_SYMBOLS_<KEY>      the runtime functions of option KEY
#
# An edit of the table configures the build again.
set(KESTREL_SIM_OPTIONS_TABLE ${CMAKE_CURRENT_LIST_DIR}/proto/sim_options.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KESTREL_SIM_OPTIONS_TABLE})

file(STRINGS ${KESTREL_SIM_OPTIONS_TABLE} _lines REGEX "^KESTREL_SIM_")
set(KESTREL_SIM_LIBRARIES "")
set(KESTREL_SIM_DSP_OPTIONS "")
set(_ap_lines "")
foreach(_line IN LISTS _lines)
    if(_line MATCHES "^KESTREL_SIM_LIBRARY\\(([a-z0-9_]+)\\)$")
        list(APPEND KESTREL_SIM_LIBRARIES ${CMAKE_MATCH_1})
        set(KESTREL_SIM_LIBRARY_EXPORTS_${CMAKE_MATCH_1} "")
    elseif(_line MATCHES "^KESTREL_SIM_AP_OPTION\\(([A-Za-z0-9_]+), \"([a-z0-9_ ]*)\"\\)$")
        list(APPEND _ap_lines "${CMAKE_MATCH_1}:${CMAKE_MATCH_2}")
    elseif(_line MATCHES
           "^KESTREL_SIM_DSP_OPTION\\(([a-z0-9_]+), ([A-Z0-9_]+), \"([A-Za-z0-9_ ]+)\"\\)$")
        list(APPEND KESTREL_SIM_DSP_OPTIONS ${CMAKE_MATCH_1})
        string(REPLACE " " ";" KESTREL_SIM_DSP_SYMBOLS_${CMAKE_MATCH_1} "${CMAKE_MATCH_3}")
    else()
        message(FATAL_ERROR "${KESTREL_SIM_OPTIONS_TABLE}: not an entry of the table: ${_line}")
    endif()
endforeach()
# Entry points after the variants, so that the order of the lines does not matter.
foreach(_entry IN LISTS _ap_lines)
    string(REPLACE ":" ";" _entry "${_entry}")
    list(GET _entry 0 _symbol)
    list(LENGTH _entry _n)
    set(_variants "")
    if(_n GREATER 1)
        list(GET _entry 1 _variants)
        string(REPLACE " " ";" _variants "${_variants}")
    endif()
    foreach(_variant IN LISTS _variants)
        if(NOT _variant IN_LIST KESTREL_SIM_LIBRARIES)
            message(FATAL_ERROR "${KESTREL_SIM_OPTIONS_TABLE}: ${_symbol}: no library variant "
                                "'${_variant}'")
        endif()
        list(APPEND KESTREL_SIM_LIBRARY_EXPORTS_${_variant} ${_symbol})
    endforeach()
endforeach()
if(NOT KESTREL_SIM_LIBRARIES)
    message(FATAL_ERROR "${KESTREL_SIM_OPTIONS_TABLE}: no library variant")
endif()
list(LENGTH KESTREL_SIM_DSP_OPTIONS _n)
if(_n GREATER 8)
    # The Hexagon DSP host carries 2^n copies of the DSP library.
    message(FATAL_ERROR "${KESTREL_SIM_OPTIONS_TABLE}: more than 8 DSP options")
endif()
