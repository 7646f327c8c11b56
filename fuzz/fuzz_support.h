// What the fuzz harnesses share: the check that ends a run on a broken property, a reader that
// takes typed values off the front of an input, and the capture of what the code under test
// writes to standard output and standard error.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// A property that must hold for every input. Its failure is a finding: the message names it and
// the abort makes libFuzzer (or the replay) keep the input.
#define FUZZ_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

namespace fuzz {

// Takes values off the front of the input; once it is used up every value reads as zero.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return size_ == 0; }
    size_t left() const { return size_; }

    uint8_t u8() {
        if (size_ == 0) {
            return 0;
        }
        --size_;
        return *data_++;
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<uint32_t>(u8()) << (8 * i);
        }
        return v;
    }
    uint64_t u64() {
        const uint64_t low = u32();
        return low | (static_cast<uint64_t>(u32()) << 32);
    }
    // Up to n bytes (fewer when the input ends), copied into dst; returns how many.
    size_t bytes(void* dst, size_t n) {
        const size_t k = n < size_ ? n : size_;
        if (k != 0) {
            std::memcpy(dst, data_, k);
        }
        data_ += k;
        size_ -= k;
        return k;
    }

  private:
    const uint8_t* data_;
    size_t size_;
};

// Sends standard output and standard error into memory files while it lives; text() gives
// what each received. Standard output is flushed at both ends, so that nothing buffered
// before the capture lands in it and nothing written during it is left behind.
class Capture {
  public:
    Capture() {
        std::fflush(stdout);
        for (int i = 0; i < 2; ++i) {
            files_[i] = memfd_create("fuzz-capture", 0);
            saved_[i] = dup(i + 1);
            FUZZ_CHECK(files_[i] >= 0 && saved_[i] >= 0);
            dup2(files_[i], i + 1);
        }
    }
    ~Capture() { stop(); }

    void stop() {
        if (stopped_) {
            return;
        }
        std::fflush(stdout);
        for (int i = 0; i < 2; ++i) {
            dup2(saved_[i], i + 1);
            close(saved_[i]);
            texts_[i] = read_all(files_[i]);
            close(files_[i]);
        }
        stopped_ = true;
    }
    const std::string& out() {
        stop();
        return texts_[0];
    }
    const std::string& err() {
        stop();
        return texts_[1];
    }

  private:
    static std::string read_all(int fd) {
        std::string text;
        char buf[4096];
        off_t at = 0;
        ssize_t n;
        while ((n = pread(fd, buf, sizeof buf, at)) > 0) {
            text.append(buf, static_cast<size_t>(n));
            at += n;
        }
        return text;
    }

    int files_[2] = {-1, -1};
    int saved_[2] = {-1, -1};
    std::string texts_[2];
    bool stopped_ = false;
};

}  // namespace fuzz
