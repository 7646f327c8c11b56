// A file a program writes what it measured to (a recording, a timeline): created, or emptied, when
// it is opened, so that a path that cannot be written is told before any sampling; the first
// failed write is kept, nothing is written after it, and it is told when the file is closed.
#pragma once

#include <cstdio>
#include <string>

namespace vorlix::kestrel {

class OutputFile {
  public:
    OutputFile() = default;
    // Closes the file when still open.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False, with "cannot write PATH: reason" in `why`.
    bool open(const std::string& path, std::string* why);
    bool is_open() const { return file_ != nullptr; }
    const std::string& path() const { return path_; }
    // Appends `text`, flushed to the file with `flush`. False when the file is not open or a
    // write has failed (this one or one before).
    bool write(const std::string& text, bool flush = false);
    // Closes the file: 0, or the errno of the first failed write or of the close (EIO when the
    // library gave none). 0 when it was not open.
    int close();

  private:
    std::FILE* file_ = nullptr;
    std::string path_;
    int error_ = 0;
};

}  // namespace vorlix::kestrel
