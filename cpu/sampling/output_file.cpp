// A file of results, written through stdio.
#include "cpu/sampling/output_file.h"

#include <cerrno>
#include <cstring>

namespace vorlix::kestrel {

OutputFile::~OutputFile() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool OutputFile::open(const std::string& path, std::string* why) {
    file_ = std::fopen(path.c_str(), "we");
    if (file_ == nullptr) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    error_ = 0;
    return true;
}

bool OutputFile::write(const std::string& text, bool flush) {
    if (file_ == nullptr || error_ != 0) {
        return false;
    }
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() ||
        (flush && std::fflush(file_) != 0)) {
        error_ = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

int OutputFile::close() {
    if (file_ == nullptr) {
        return 0;
    }
    errno = 0;
    if (std::fclose(file_) != 0 && error_ == 0) {
        error_ = errno != 0 ? errno : EIO;
    }
    file_ = nullptr;
    return error_;
}

}  // namespace vorlix::kestrel
