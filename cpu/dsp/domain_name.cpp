// The name of a domain record, in a file of its own: the board's cores are named by it in
// programs that take in no platform call (kestrel-doctor), which dsp_utils.cpp is full of.
#include "cpu/dsp_utils.h"

#include <cstring>

namespace vorlix::kestrel {

std::string domain_name_of(const fastrpc_domain& domain) {
    return std::string(domain.name, strnlen(domain.name, sizeof domain.name));
}

}  // namespace vorlix::kestrel
