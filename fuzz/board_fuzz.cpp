// The board profile reader of the virtual board, fed arbitrary profiles. The input is up to
// three files, a.json, b.json and c.json, separated by NUL bytes (which JSON text never holds),
// written into a folder of their own, so that "extends" between them, to built-in boards and
// to missing files all resolve as on a real run; a.json is loaded. The reader must either give
// a board that keeps its documented guarantees or refuse with a BoardError; any other exception
// escapes the callers that catch BoardError and ends the runner.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "board.h"
#include "fuzz_support.h"
#include "sim_calls.h"

namespace {

const char* const kProfiles[] = {"a.json", "b.json", "c.json"};

char profile_path[] = "/tmp/kestrel-fuzz-board.XXXXXX";

// The folder and its files go when the program ends.
void remove_profile_dir() {
    for (const char* name : kProfiles) {
        unlink((std::string(profile_path) + "/" + name).c_str());
    }
    rmdir(profile_path);
}

const std::string& profile_dir() {
    static const std::string dir = [] {
        FUZZ_CHECK(mkdtemp(profile_path) != nullptr);
        std::atexit(remove_profile_dir);
        return std::string(profile_path);
    }();
    return dir;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    FUZZ_CHECK(out.good());
}

void check_board(const kestrel_sim::Board& b) {
    const auto& variants = kestrel_sim::library_variants();
    FUZZ_CHECK(std::find(variants.begin(), variants.end(), b.library) != variants.end());
    FUZZ_CHECK(b.dsp == "host" || b.dsp == "hexagon");
    for (size_t i = 0; i < b.domains.size(); ++i) {
        const kestrel_sim::Domain& d = b.domains[i];
        FUZZ_CHECK(!d.name.empty());
        FUZZ_CHECK(b.find_by_name(d.name) == &d);  // names are unique
        FUZZ_CHECK(d.heap_bytes <= (1u << 20));
        FUZZ_CHECK(d.script.utimer.size() <= 1024 && d.script.upcycle.size() <= 1024 &&
                   d.script.pmu.size() <= 1024 && d.script.clock_hz.size() <= 1024);
        FUZZ_CHECK(d.load.core >= 0 && d.load.core <= 1 && d.load.hvx >= 0 && d.load.hvx <= 1 &&
                   d.load.hmx >= 0 && d.load.hmx <= 1 && d.load.pcpp > 0);
        // Steps the DSP's load model can follow (the link refuses any others).
        FUZZ_CHECK(d.load.steps.size() <= kestrel_sim::kMaxLoadSteps);
        for (size_t k = 0; k < d.load.steps.size(); ++k) {
            const kestrel_sim::LoadStep& st = d.load.steps[k];
            FUZZ_CHECK(k == 0 ? st.at_ms == 0 : st.at_ms > d.load.steps[k - 1].at_ms);
            FUZZ_CHECK(st.at_ms < d.load.period_ms);
            FUZZ_CHECK(st.core >= 0 && st.core <= 1 && st.hvx >= 0 && st.hvx <= 1 && st.hmx >= 0 &&
                       st.hmx <= 1);
        }
        // A device node the board's tree can hold: a path under /dev/ without "." or "..".
        if (d.device) {
            const std::string& path = d.device->path;
            FUZZ_CHECK(path.rfind("/dev/", 0) == 0 && path.back() != '/' &&
                       path.find("/./") == std::string::npos &&
                       path.find("/../") == std::string::npos &&
                       path.find("//") == std::string::npos);
            FUZZ_CHECK(d.device->mode <= 07777);
        }
    }
    for (const auto& z : b.thermal_zones) {
        FUZZ_CHECK(z.trips.size() <= kestrel_sim::kMaxThermalTrips);
    }
    FUZZ_CHECK(b.dsp_crashes.size() <= kestrel_sim::kMaxDspCrashes);
    for (const kestrel_sim::DspCrash& c : b.dsp_crashes) {
        FUZZ_CHECK(b.find_by_name(c.domain) != nullptr && c.for_ms > 0);
        FUZZ_CHECK(c.every_ms == 0 || c.every_ms > c.for_ms);
    }
    for (const kestrel_sim::Fault& f : b.faults) {
        const sim_call_info info = sim_call(f.id);
        FUZZ_CHECK(info.name != nullptr && info.can_fail && f.call == info.name);
        FUZZ_CHECK(!f.crash || f.id == SIM_CALL_INVOKE);
        FUZZ_CHECK(!f.domain || b.find_by_name(*f.domain) != nullptr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string dir = profile_dir();
    std::vector<std::string> files(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            if (files.size() == 3) {
                break;
            }
            files.emplace_back();
        } else {
            files.back().push_back(static_cast<char>(data[i]));
        }
    }
    for (size_t i = 0; i < 3; ++i) {
        const std::string path = dir + "/" + kProfiles[i];
        if (i < files.size()) {
            write_file(path, files[i]);
        } else {
            unlink(path.c_str());
        }
    }
    try {
        check_board(kestrel_sim::load_board(dir + "/a.json"));
    } catch (const kestrel_sim::BoardError&) {
        // A refusal with its explanation: what the reader promises for a bad profile.
    } catch (const std::exception& e) {
        std::fprintf(stderr, "board reader threw %s, not a BoardError\n", e.what());
        std::abort();
    }
    return 0;
}
