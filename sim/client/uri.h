// Module URIs ("file:///LIB?ENTRY&_modver=1.0&_dom=DOMAIN") and the DSP library search through
// ADSP_LIBRARY_PATH, as the platform's client library does them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrel_sim {

struct ModuleUri {
    std::string file;    // after "file:///", up to "?"
    std::string entry;   // after "?", up to the first "&"
    std::string domain;  // value of "_dom="; empty when absent
};

// Null when the text does not have the form above (no "file:///" prefix, no "?", an empty
// file or entry name).
std::optional<ModuleUri> parse_module_uri(const std::string& uri);

// The directories of a ";"-separated search path, in order, empty entries dropped.
std::vector<std::string> split_search_path(const std::string& path);

// First directory of the search path holding a regular file of that name; relative
// directories count from cwd. Returns the path found (absolute when cwd is absolute).
std::optional<std::string> find_library(const std::string& file, const std::string& search_path,
                                        const std::string& cwd);

}  // namespace kestrel_sim
