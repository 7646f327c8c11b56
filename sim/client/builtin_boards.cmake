# Writes the source of the built-in board profiles: the text of every board file in a folder,
# by name (the file name without .json), as raw string literals. Run at build time whenever a
# board file or the template changes:
#   cmake -DBOARDS_DIR=<folder> -DTEMPLATE=<builtin_boards.cpp.in> -DOUTPUT=<source> -P builtin_boards.cmake
if(NOT BOARDS_DIR OR NOT TEMPLATE OR NOT OUTPUT)
    message(FATAL_ERROR "builtin_boards.cmake needs BOARDS_DIR, TEMPLATE and OUTPUT")
endif()

file(GLOB board_files ${BOARDS_DIR}/*.json)
set(KESTREL_SIM_BUILTIN_ENTRIES "")
foreach(board_file ${board_files})
    get_filename_component(board_name ${board_file} NAME_WE)
    file(READ ${board_file} board_text)
    string(APPEND KESTREL_SIM_BUILTIN_ENTRIES
           "    {\"${board_name}\", R\"kestrelboard(${board_text})kestrelboard\"},\n")
endforeach()
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
