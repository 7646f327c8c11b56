# Writes the source of the built-in board profiles: the text of every board file in a folder,
# by name (the file name without .json), as raw string literals. Run at build time whenever a
# board file, the folder or the template changes:
#   cmake -DBOARDS_DIR=<folder> -DTEMPLATE=<builtin_boards.cpp.in> -DOUTPUT=<source>
#         [-DDEPFILE=<file>] -P builtin_boards.cmake
# DEPFILE names the folder and the board files read, for the build tool.
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
# configure_file leaves an unchanged file as it was; the build tool needs it newer than what it
# was made from.
file(TOUCH ${OUTPUT})
if(DEPFILE)
    # One rule; a space inside a path is escaped.
    set(rule "")
    foreach(path ${OUTPUT} ${BOARDS_DIR} ${board_files})
        string(REPLACE " " "\\ " path "${path}")
        if(rule STREQUAL "")
            set(rule "${path}:")
        else()
            string(APPEND rule " ${path}")
        endif()
    endforeach()
    file(WRITE ${DEPFILE} "${rule}\n")
endif()
