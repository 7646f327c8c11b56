// Helpers shared by the virtual board's tests: temporary directories, files and trace reading.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim_test {

// A directory removed with its contents at the end of the test.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/kestrel-sim-test-XXXXXX";
        char* p = ::mkdtemp(tmpl);
        path_ = p != nullptr ? p : "";
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::error_code ec;  // nothing more to do in a destructor
            std::filesystem::remove_all(path_, ec);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Every line of a trace file, parsed; a line that is not JSON becomes {"unparsable": text}.
inline std::vector<nlohmann::json> read_trace(const std::string& path) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        try {
            lines.push_back(nlohmann::json::parse(line));
        } catch (const nlohmann::json::exception&) {
            lines.push_back({{"unparsable", line}});
        }
    }
    return lines;
}

// The trace lines of one call on one side.
inline std::vector<nlohmann::json> calls(const std::vector<nlohmann::json>& trace,
                                         const std::string& side, const std::string& call) {
    std::vector<nlohmann::json> out;
    for (const auto& l : trace) {
        if (l.value("side", "") == side && l.value("call", "") == call)
            out.push_back(l);
    }
    return out;
}

}  // namespace sim_test
