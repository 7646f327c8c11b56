// The domain collector and the --query_info report, against the fake FastRPC library
// (tests/unit/fakes) whose every answer comes from the input: the SoC id file, the results and
// counts of the system request, the domain records it writes (names without a NUL included),
// the effective ids and the capability answers. Built once per library variant (full,
// no_system_request, minimal). The collection must fail cleanly or describe exactly the records
// the platform wrote, never reading more of them than it asked for, and the report must print
// each name from its 32-byte field only.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/dsp_utils.h"
#include "cpu/kestrel_run.h"
#include "fake_fastrpc.h"
#include "fuzz_support.h"

using vorlix::kestrel::DspDomainArray;
using vorlix::kestrel::DspUtils;

namespace {

constexpr const char* kSocIdPath = "/sys/devices/soc0/soc_id";

enum class Soc { kMissing, kUnreadable, kText };
Soc soc_kind = Soc::kMissing;
std::string soc_text;

// The SoC id file as the input describes it: absent, unreadable (a directory opens but does not
// read), or these bytes.
int open_soc_file() {
    if (soc_kind == Soc::kMissing) {
        errno = ENOENT;
        return -1;
    }
    if (soc_kind == Soc::kUnreadable) {
        return static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/", O_RDONLY | O_DIRECTORY));
    }
    const int fd = memfd_create("soc_id", 0);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, soc_text.data(), soc_text.size()) ==
               static_cast<ssize_t>(soc_text.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// An answer of the platform: mostly success, else one of its failures or any value.
int platform_result(fuzz::Reader& in) {
    switch (in.u8() & 7) {
        case 4:
            return FASTRPC_UNSUPPORTED_API;
        case 5:
            return static_cast<int>(0x80000000u | FASTRPC_UNSUPPORTED_API);
        case 6:
            return -1;
        case 7:
            return static_cast<int>(in.u32());
        default:
            return 0;
    }
}

// A domain count: mostly small, else anything.
int32_t platform_count(fuzz::Reader& in) {
    const uint8_t c = in.u8();
    return (c & 0x80) == 0 ? (c & 0x0f) : static_cast<int32_t>(in.u32());
}

// What the system request wrote, for the checks.
struct SystemAnswer {
    bool counted = false;                 // the counting call succeeded
    int32_t count = 0;                    // its count
    bool listed = false;                  // the second call succeeded
    std::vector<fastrpc_domain> records;  // the records it wrote
    int32_t reported = 0;                 // the count it reported
};
SystemAnswer answer;

void set_up_platform(fuzz::Reader& in) {
    fake_fastrpc::reset();
    auto& p = fake_fastrpc::platform();
    p.system_request = [&in](system_req_payload* req) {
        const int result = platform_result(in);
        if (req->domains == nullptr) {
            answer.count = platform_count(in);
            req->num_domains = answer.count;
            answer.counted = result == 0;
            return result;
        }
        // A platform writes no more records than the caller has room for.
        const uint32_t written = std::min<uint32_t>(in.u8() % 12, req->max_domains);
        for (uint32_t i = 0; i < written; ++i) {
            fastrpc_domain d;
            std::memset(&d, 0, sizeof d);
            in.bytes(&d, sizeof d);
            req->domains[i] = d;
            answer.records.push_back(d);
        }
        answer.reported = (in.u8() & 1) == 0 ? static_cast<int32_t>(written) : platform_count(in);
        req->num_domains = answer.reported;
        answer.listed = result == 0;
        return result;
    };
    p.effective_id = [&in](const std::string&, int32_t, uint32_t* id) {
        const int result = platform_result(in);
        *id = in.u32();
        return result;
    };
    p.capability = [&in](uint32_t, uint32_t, uint32_t* value) {
        const int result = platform_result(in);
        *value = in.u32();
        return result;
    };
}

std::string name_of(const fastrpc_domain& d) {
    return std::string(d.name, strnlen(d.name, sizeof d.name));
}

void check_system_request_collection(int result, const DspDomainArray& domains) {
    const auto& p = fake_fastrpc::platform();
    FUZZ_CHECK(!p.system_calls.empty());
    FUZZ_CHECK(p.system_calls[0].req.domains == nullptr);
    const bool in_range = answer.count >= 0 && answer.count <= vorlix::kestrel::kMaxPlatformDomains;
    if (!answer.counted || !in_range) {
        FUZZ_CHECK(result == -1 && p.system_calls.size() == 1);
        return;
    }
    FUZZ_CHECK(p.system_calls.size() == 2);
    FUZZ_CHECK(p.system_calls[1].req.max_domains == static_cast<uint32_t>(answer.count));
    if (!answer.listed) {
        FUZZ_CHECK(result == -1);
        return;
    }
    FUZZ_CHECK(result == 0 && domains.size() == 1);
    const size_t expected =
        std::min<size_t>(answer.reported < 0 ? 0 : static_cast<size_t>(answer.reported),
                         static_cast<size_t>(answer.count));
    FUZZ_CHECK(domains[0].size() == expected);
    FUZZ_CHECK(p.session_calls.size() == expected);
    for (size_t i = 0; i < expected; ++i) {
        fastrpc_domain record;
        std::memset(&record, 0, sizeof record);  // a record the platform left is all zeros
        if (i < answer.records.size()) {
            record = answer.records[i];
        }
        FUZZ_CHECK(std::memcmp(&domains[0][i].domain_info, &record, sizeof record) == 0);
        // The effective id is asked with the name as the field holds it, NUL or not.
        FUZZ_CHECK(p.session_calls[i].name == name_of(record));
        FUZZ_CHECK(p.session_calls[i].name_len == name_of(record).size());
    }
}

void check_capability_collection(int result, const DspDomainArray& domains) {
    const auto& p = fake_fastrpc::platform();
    if (remote_handle_control == nullptr) {
        FUZZ_CHECK(result == -1 && domains.empty());
        return;
    }
    FUZZ_CHECK(result == 0 && domains.size() <= 2);
    const char* names[] = {"cdsp", "cdsp1"};
    for (size_t g = 0; g < domains.size(); ++g) {
        FUZZ_CHECK(domains[g].size() == 1);
        FUZZ_CHECK(name_of(domains[g][0].domain_info) == names[g]);
        FUZZ_CHECK(domains[g][0].domain_info.id == CDSP_DOMAIN_ID + g);
    }
    for (const auto& call : p.control_calls) {
        FUZZ_CHECK(call.datalen == sizeof(remote_dsp_capability));
    }
}

// Every core of the report with its name from the 32-byte field and nothing after it.
void check_report(const std::string& out, const DspDomainArray& domains) {
    FUZZ_CHECK(out.rfind("NSP has device = " + std::to_string(domains.size()) + "\n", 0) == 0);
    size_t at = 0;
    for (const auto& group : domains) {
        for (const auto& item : group) {
            const std::string entry =
                "domain_name = " + name_of(item.domain_info) + ", domain_id = 0x";
            at = out.find(entry, at);
            FUZZ_CHECK(at != std::string::npos);
            at += entry.size();
        }
    }
}

}  // namespace

// The SoC reader's open(): the SoC id file comes from the input, every other path is opened.
extern "C" int open(const char* path, int flags, ...) {
    unsigned mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, unsigned);
        va_end(ap);
    }
    if (std::strcmp(path, kSocIdPath) == 0) {
        return open_soc_file();
    }
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    switch (in.u8() & 3) {
        case 0:
            soc_kind = Soc::kMissing;
            break;
        case 1:
            soc_kind = Soc::kUnreadable;
            break;
        case 2:
            soc_kind = Soc::kText;
            soc_text = (in.u8() & 1) == 0 ? "557\n" : "690\n";  // SM8650, SA8797P
            break;
        default:
            soc_kind = Soc::kText;
            soc_text.assign(in.u8() % 40, '\0');
            soc_text.resize(in.bytes(&soc_text[0], soc_text.size()));
            break;
    }
    answer = SystemAnswer{};
    set_up_platform(in);

    DspDomainArray domains;
    fuzz::Capture capture;
    const int result = DspUtils::fastrpc_get_dsp_domain_array(domains);
    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(result == 0 || domains.empty());
    if (result == 0) {
        print_dsp_info(domains);
    }
    capture.stop();

    if (remote_system_request != nullptr) {
        check_system_request_collection(result, domains);
    } else {
        check_capability_collection(result, domains);
    }
    if (result == 0) {
        // The report starts after what the collection printed.
        const std::string& out = capture.out();
        check_report(out.substr(std::min(out.find("NSP has device = "), out.size())), domains);
    }
    fake_fastrpc::reset();
    return 0;
}
