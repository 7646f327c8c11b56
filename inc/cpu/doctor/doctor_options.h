// kestrel-doctor's command-line options, in the monitor's option toolkit.
#pragma once

#include <cstdint>

#include "cpu/cmdline.h"

namespace vorlix::kestrel::doctor {

struct DoctorOptions {
    bool one_core = false;  // --cdsp_index given: check only that core
    std::uint64_t cdsp_index = 0;
};

// The record that params.user_param points at.
DoctorOptions& get_doctor_options(my_utils::CMDLineParams& params);

// Appends the doctor's options to the context.
void doctor_options_init(my_utils::CMDLineContext& ctx);

// Printed after the option listing of -h: what the program does and its exit statuses.
void print_doctor_usage(int argc, const char** argv);

}  // namespace vorlix::kestrel::doctor
