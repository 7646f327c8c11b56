// Where a run's results go.
#include "cpu/stat/outputs.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorlix::kestrel::stat {

namespace {

std::FILE* create(const std::string& path, std::string* why) {
    std::FILE* file = std::fopen(path.c_str(), "we");
    if (file == nullptr) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
    }
    return file;
}

// Writes all of `text` to the stream and closes it (a null stream is standard error, kept
// open). False, with the reason in `why`.
bool write_out(std::FILE* file, const std::string& path, const std::string& text,
               std::string* why) {
    std::FILE* out = file != nullptr ? file : stderr;
    errno = 0;
    bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    ok = std::fflush(out) == 0 && ok;
    int error = errno;
    if (file != nullptr && std::fclose(file) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        *why = "cannot write " + path + ": " + std::strerror(error != 0 ? error : EIO);
    }
    return ok;
}

bool write_fd(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void told(const std::string& why) {
    std::fprintf(stderr, "kestrel-stat: %s\n", why.c_str());
}

}  // namespace

Outputs::~Outputs() {
    for (std::FILE* file : {summary_, json_}) {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
}

bool Outputs::open(const StatParams& params, int stdout_fd, bool record, std::string* why) {
    stdout_fd_ = stdout_fd;
    if (!params.output.empty() && (summary_ = create(params.output, why)) == nullptr) {
        return false;
    }
    summary_path_ = params.output.empty() ? "standard error" : params.output;
    json_to_stdout_ = params.json == "-";
    json_path_ = json_to_stdout_ ? "standard output" : params.json;
    if (!params.json.empty() && !json_to_stdout_ && (json_ = create(params.json, why)) == nullptr) {
        return false;
    }
    if (record && !params.record.empty()) {
        if (!recording_.open(params.record, why)) {
            return false;
        }
        recording_open_ = true;
    }
    return params.trace_json.empty() || trace_.open(params.trace_json, why);
}

void Outputs::event(const CoreEvent& event, double at) {
    if (recording_open_) {
        recording_.write(event);
    }
    if (trace_.is_open()) {
        trace_.event(event, at);
    }
}

bool Outputs::finish(const RunInfo& run, const Summary& summary) {
    bool ok = true;
    std::string why;
    if (!write_out(summary_, summary_path_, summary_text(run, summary), &why)) {
        told(why);
        ok = false;
    }
    summary_ = nullptr;
    if (json_ != nullptr || json_to_stdout_) {
        const std::string text = summary_json(run, summary);
        const bool written =
            json_to_stdout_ ? write_fd(stdout_fd_, text) : write_out(json_, json_path_, text, &why);
        json_ = nullptr;
        if (!written) {
            told(json_to_stdout_ ? "cannot write the JSON to standard output: " +
                                       std::string(std::strerror(errno))
                                 : why);
            ok = false;
        }
    }
    if (recording_open_ && !recording_.close(&why)) {
        told(why);
        ok = false;
    }
    if (!trace_.close(run, summary, &why)) {
        told(why);
        ok = false;
    }
    return ok;
}

}  // namespace vorlix::kestrel::stat
