// kestrel-doctor's report.
#include "cpu/doctor/report.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "cpu/output.h"

namespace vorlix::kestrel::doctor {

namespace {

constexpr int kSubjectWidth = 18;
// What the libraries printed, shown under a failure: at most this many lines, the last ones.
constexpr std::size_t kMostLogLines = 12;
constexpr const char* kIndent = "      ";

const char* word(Verdict verdict) {
    switch (verdict) {
        case Verdict::kOk:
            return "ok";
        case Verdict::kWarn:
            return "warn";
        case Verdict::kFail:
            return "FAIL";
        case Verdict::kSkip:
            return "skip";
    }
    return "?";
}

// SGR sequences: green, yellow, bold red, dim.
const char* colour_of(Verdict verdict) {
    switch (verdict) {
        case Verdict::kOk:
            return "\033[32m";
        case Verdict::kWarn:
            return "\033[33m";
        case Verdict::kFail:
            return "\033[1;31m";
        case Verdict::kSkip:
            return "\033[2m";
    }
    return "";
}

constexpr const char* kColourOff = "\033[0m";

}  // namespace

Report::~Report() {
    close();
}

bool Report::open() {
    std::fflush(stdout);
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    const int report_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (report_fd < 0) {
        return false;
    }
    // A file in memory holds what the libraries print; where there is none, it goes nowhere.
    capture_fd_ = memfd_create("kestrel-doctor-log", MFD_CLOEXEC);
    if (capture_fd_ < 0) {
        capture_fd_ = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    if (capture_fd_ < 0 || dup2(capture_fd_, STDOUT_FILENO) < 0) {
        const int error = errno;
        ::close(report_fd);
        errno = error;
        return false;
    }
    out_ = fdopen(report_fd, "w");
    if (out_ == nullptr) {
        const int error = errno;
        ::close(report_fd);
        errno = error;
        return false;
    }
    std::setvbuf(out_, nullptr, _IOLBF, 0);
    colour_ = terminal && colour_allowed();
    return true;
}

void Report::begin() {
    std::fflush(stdout);
    if (capture_fd_ >= 0 && ftruncate(capture_fd_, 0) == 0) {
        lseek(capture_fd_, 0, SEEK_SET);
    }
}

std::vector<std::string> Report::captured_lines() {
    std::fflush(stdout);
    std::vector<std::string> lines;
    struct stat info {};
    if (capture_fd_ < 0 || fstat(capture_fd_, &info) != 0 || info.st_size <= 0) {
        return lines;
    }
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    const ssize_t got = pread(capture_fd_, text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start) {
            lines.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    if (lines.size() > kMostLogLines) {
        lines.erase(lines.begin(), lines.end() - static_cast<long>(kMostLogLines));
    }
    return lines;
}

void Report::note_write_error() {
    if (write_error_ == 0 && std::ferror(out_)) {
        write_error_ = errno != 0 ? errno : EIO;
    }
}

void Report::add(const CheckLine& line) {
    if (line.verdict == Verdict::kFail) {
        if (failures_++ == 0) {
            first_failure_ = line.subject;
        }
    } else if (line.verdict == Verdict::kWarn) {
        ++warnings_;
    }
    if (out_ == nullptr) {
        return;
    }
    errno = 0;
    const char* verdict = word(line.verdict);
    if (colour_) {
        std::fprintf(out_, "%s%-4s%s  ", colour_of(line.verdict), verdict, kColourOff);
    } else {
        std::fprintf(out_, "%-4s  ", verdict);
    }
    std::fprintf(out_, "%-*s %s\n", kSubjectWidth, line.subject.c_str(), line.finding.c_str());
    if (line.verdict == Verdict::kFail) {
        if (!line.remedy.empty()) {
            std::fprintf(out_, "%sfix: %s\n", kIndent, line.remedy.c_str());
        }
        for (const std::string& logged : captured_lines()) {
            std::fprintf(out_, "%s| %s\n", kIndent, logged.c_str());
        }
    }
    note_write_error();
}

void Report::summary() {
    if (out_ == nullptr) {
        return;
    }
    errno = 0;
    const std::string warned = warnings_ == 0 ? std::string()
                                              : " (" + std::to_string(warnings_) +
                                                    (warnings_ == 1 ? " warning)" : " warnings)");
    if (failures_ > 0) {
        std::fprintf(out_, "%d check%s failed%s; the first: %s\n", failures_,
                     failures_ == 1 ? "" : "s", warned.c_str(), first_failure_.c_str());
    } else {
        std::fprintf(out_, "every check passed%s\n", warned.c_str());
    }
    note_write_error();
}

bool Report::close() {
    if (out_ == nullptr) {
        return true;
    }
    errno = 0;
    if (std::fflush(out_) != 0) {
        note_write_error();
    }
    std::fclose(out_);
    out_ = nullptr;
    if (capture_fd_ >= 0) {
        ::close(capture_fd_);
        capture_fd_ = -1;
    }
    // A reader that went away (a pager quit, head) is no failure of the run.
    errno = write_error_;
    return write_error_ == 0 || write_error_ == EPIPE;
}

}  // namespace vorlix::kestrel::doctor
