// The option toolkit with the monitor's option table, fed arbitrary command lines: the input is
// split at NUL bytes into arguments. A simple model of the table predicts the outcome of every
// command line; the parse must agree with it, both in the values it leaves in the parameter
// record and in the message it prints when it refuses. Each argument lives in a heap block of
// its exact size, so that a read past its end is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/cmdline.h"
#include "cpu/cmdline_user.h"
#include "fuzz_support.h"

namespace {

// What the model expects of one command line.
struct Expected {
    bool exits = false;  // --version prints the version block and ends the process
    bool ok = true;
    bool usage = false;
    cmdline_user_params values;
    std::string message;         // the whole refusal (standard error), or
    std::string message_prefix;  // its beginning, for number errors, whose end is the
    std::string number_name;     // usage entry of the option named here
};

// The C library's view of a decimal number as the toolkit accepts it: leading white space, an
// optional sign, at least one digit and nothing after; a magnitude beyond 64 bits clamps to the
// largest value, a minus sign negates modulo 2^64.
bool model_number(const std::string& text, uint64_t* value, const char** error) {
    size_t i = 0;
    while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) != nullptr && text[i] != '\0') {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const size_t first_digit = i;
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) {
            overflow = true;
        } else {
            magnitude = magnitude * 10 + digit;
        }
    }
    if (i == first_digit) {
        *error = "No digits were found";
        return false;
    }
    if (i != text.size()) {
        *error = "Invalid characters after number";
        return false;
    }
    *value = overflow ? UINT64_MAX : (negative ? 0 - magnitude : magnitude);
    return true;
}

bool is_one_of(const std::string& word, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (word == name) {
            return true;
        }
    }
    return false;
}

Expected model(const std::vector<std::string>& words) {
    Expected e;
    cmdline_user_params& v = e.values;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (is_one_of(w, {"-h", "--help", "--usage"})) {
            e.usage = true;
        } else if (w == "--version") {
            e.exits = true;
            return e;
        } else if (w == "--query_info") {
            v.query_info = true;
        } else if (w == "--run_local") {
            v.run_local = true;
        } else if (w == "--run_legacy") {
            v.run_legacy = true;
        } else if (w == "--all") {
            v.all = true;
        } else if (w == "--dsp") {
            v.dsp = true;
        } else if (w == "--hvx") {
            v.hvx = true;
        } else if (w == "--hmx") {
            v.hmx = true;
        } else if (w == "--debug") {
            v.debug = true;
        } else if (is_one_of(w, {"--follow", "-f"})) {
            v.follow = true;
        } else if (is_one_of(w, {"--sample_time", "--sample_interval_time", "--cdsp_index",
                                 "--enable_unsigned_pd"})) {
            if (i + 1 == words.size()) {
                e.ok = false;
                e.message = "argument: " + w + ", expected value\n";
                return e;
            }
            uint64_t number = 0;
            const char* error = nullptr;
            if (!model_number(words[++i], &number, &error)) {
                e.ok = false;
                e.message_prefix = "error while handling argument \"" + w + "\": " + error +
                                   "\n\nusage:\n" + w + " UINT64";
                e.number_name = w;
                return e;
            }
            const auto low = static_cast<uint32_t>(number);
            if (w == "--sample_time") {
                v.sample_time = low;
            } else if (w == "--sample_interval_time") {
                v.sample_interval_time = low;
            } else if (w == "--cdsp_index") {
                v.cdsp_index = low;
            } else {
                v.enable_unsigned_pd = number != 0;
            }
        } else {
            e.ok = false;
            e.message = "error: invalid argument: " + w + "\n";
            return e;
        }
    }
    return e;
}

bool same_values(const cmdline_user_params& a, const cmdline_user_params& b) {
    return a.dsp == b.dsp && a.hvx == b.hvx && a.hmx == b.hmx && a.all == b.all &&
           a.debug == b.debug && a.query_info == b.query_info && a.sample_time == b.sample_time &&
           a.run_local == b.run_local && a.run_legacy == b.run_legacy && a.follow == b.follow &&
           a.sample_interval_time == b.sample_interval_time && a.domain_name == b.domain_name &&
           a.domain_id == b.domain_id && a.cdsp_index == b.cdsp_index &&
           a.enable_unsigned_pd == b.enable_unsigned_pd;
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int usage_callbacks = 0;

// A heap block holding exactly the text and its NUL.
char* exact_copy(const std::string& text) {
    auto* block = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(block, text.c_str(), text.size() + 1);
    return block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words;
    if (size != 0) {
        words.emplace_back();
        for (size_t i = 0; i < size; ++i) {
            if (data[i] == 0) {
                words.emplace_back();
            } else {
                words.back().push_back(static_cast<char>(data[i]));
            }
        }
    }
    const Expected e = model(words);
    if (e.exits) {
        return 0;
    }

    // argv as a program receives it: the program name, the arguments, a null pointer.
    const int argc = static_cast<int>(words.size()) + 1;
    auto** argv = static_cast<char**>(std::malloc(sizeof(char*) * (words.size() + 2)));
    argv[0] = exact_copy("kestrel");
    for (size_t i = 0; i < words.size(); ++i) {
        argv[i + 1] = exact_copy(words[i]);
    }
    argv[argc] = nullptr;

    cmdline_user_params values;
    my_utils::CMDLineParams params;
    params.user_param = &values;
    usage_callbacks = 0;
    my_utils::ArgumentParser parser(cmdline_user_init);
    fuzz::Capture capture;
    const bool ok = parser.cmdline_params_parse(argc, const_cast<const char**>(argv), params,
                                                [](int, const char**) { ++usage_callbacks; });
    capture.stop();

    FUZZ_CHECK(ok == e.ok);
    // A refused command line keeps what the options before the refused one set.
    FUZZ_CHECK(same_values(values, e.values));
    FUZZ_CHECK(params.user_param == &values);
    if (ok) {
        FUZZ_CHECK(params.usage == e.usage);
        FUZZ_CHECK(capture.err().empty());
        FUZZ_CHECK(usage_callbacks == (e.usage ? 1 : 0));
        if (e.usage) {
            FUZZ_CHECK(capture.out().rfind("----- common params -----\n\n-h, ", 0) == 0);
        } else {
            FUZZ_CHECK(capture.out().empty());
        }
    } else {
        FUZZ_CHECK(!params.usage);
        FUZZ_CHECK(usage_callbacks == 0);
        FUZZ_CHECK(capture.out().empty());
        if (e.number_name.empty()) {
            FUZZ_CHECK(capture.err() == e.message);
        } else {
            FUZZ_CHECK(capture.err().rfind(e.message_prefix, 0) == 0);
            FUZZ_CHECK(ends_with(capture.err(), "\n\nto show complete usage, run with -h\n"));
        }
    }

    for (int i = 0; i < argc; ++i) {
        std::free(argv[i]);
    }
    std::free(argv);
    return 0;
}
