#include "cpu/cmdline.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>

#include "cpu/status.h"

namespace my_utils {

namespace {

// Layout of a usage entry.
constexpr size_t kHelpColumn = 40;          // the help text starts in this column
constexpr size_t kLongNamesThreshold = 37;  // longer names columns push the help to a new line
constexpr size_t kFirstNameCell = 7;        // the first name and its ", " are padded to this
constexpr size_t kHelpWidth = 70;           // longer help lines are re-flowed

constexpr const char* kNoDigits = "No digits were found";
constexpr const char* kTrailingChars = "Invalid characters after number";
constexpr const char* kDoubleRange = "Number out of double range";

// Splits text into lines as line-reading does: a final line break adds no empty line, an empty
// line between two breaks is kept.
std::vector<std::string> split_help_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// Joins the words of a line that is too long into lines of at most kHelpWidth characters. A
// word longer than that stands alone on its line.
void reflow_line(const std::string& line, std::vector<std::string>& out) {
    std::istringstream in(line);
    std::string word;
    std::string current;
    while (in >> word) {
        const size_t needed = current.empty() ? word.size() : current.size() + word.size() + 1;
        if (needed <= kHelpWidth) {
            if (!current.empty()) {
                current += ' ';
            }
            current += word;
            continue;
        }
        if (!current.empty()) {
            out.push_back(current);
        }
        current = word;
    }
    if (!current.empty()) {
        out.push_back(current);
    }
}

// Conversion of text to a number with the checks shared by all numeric options: something
// must be converted, and the number must reach the end of the text. Leading white space and
// a sign are accepted as the C library does; range overflow is clamped, not reported.
template <typename T, typename Convert>
StatusOr<T> convert_number(const std::string& text, Convert convert) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const T value = convert(begin, &end);
    if (end == begin) {
        return make_status_or<T>(ErrorStatus(StatusCode::kError, kNoDigits));
    }
    if (*end != '\0') {
        return make_status_or<T>(ErrorStatus(StatusCode::kError, kTrailingChars));
    }
    return make_status_or<T>(value);
}

StatusOr<long long> no_exception_stoll(const std::string& text) {
    return convert_number<long long>(
        text, [](const char* s, char** end) { return std::strtoll(s, end, 10); });
}

StatusOr<unsigned long long> no_exception_stoull(const std::string& text) {
    return convert_number<unsigned long long>(
        text, [](const char* s, char** end) { return std::strtoull(s, end, 10); });
}

// Any finite double is accepted, zero, negative and subnormal values included; a value that
// overflows to infinity (either sign), an explicit infinity and NaN are refused.
StatusOr<double> no_exception_stod(const std::string& text) {
    StatusOr<double> result =
        convert_number<double>(text, [](const char* s, char** end) { return std::strtod(s, end); });
    if (result.ok && !std::isfinite(result.value)) {
        return make_status_or<double>(ErrorStatus(StatusCode::kError, kDoubleRange));
    }
    return result;
}

Status number_error(const char* arg, const Status& conversion, const CMDLineElement& element) {
    return ErrorStatus(StatusCode::kError, std::string("error while handling argument \"") + arg +
                                               "\": " + conversion.message + "\n\nusage:\n" +
                                               element.to_string() +
                                               "\n\nto show complete usage, run with -h");
}

CMDLineContext common_params_parser_init(CMDLineParams& params, UsageCallback usage_callback) {
    CMDLineContext ctx;
    ctx.params = &params;
    ctx.usage_callback = usage_callback;

    CMDLineElement help;
    help.names = {"-h", "--help", "--usage"};
    help.help = "print usage and exit";
    help.on_flag = [](CMDLineParams& p) { p.usage = true; };
    ctx.options.push_back(std::move(help));
    return ctx;
}

// Hands an environment value to the element's actions. Flags take "1" or "true" and ignore
// anything else; signed numbers and text are the only other kinds fed from the environment.
Status apply_env_value(const CMDLineElement& element, const std::string& value,
                       CMDLineParams& params) {
    if (element.on_flag != nullptr && (value == "1" || value == "true")) {
        element.on_flag(params);
    }
    if (element.on_int64 != nullptr) {
        const StatusOr<long long> number = no_exception_stoll(value);
        if (!number.ok) {
            return ErrorStatus(StatusCode::kError,
                               std::string("error while handling environment variable \"") +
                                   element.env_name + "\": " + number.status.message + "\n\n");
        }
        element.on_int64(params, number.value);
    }
    if (element.on_string != nullptr) {
        element.on_string(params, value);
    }
    return OkStatus();
}

// Runs the element's value action with the text that followed its name on the command line.
Status apply_arg_value(const CMDLineElement& element, const char* arg, const std::string& value,
                       CMDLineParams& params) {
    if (element.on_string != nullptr) {
        element.on_string(params, value);
    } else if (element.on_int64 != nullptr) {
        const StatusOr<long long> number = no_exception_stoll(value);
        if (!number.ok) {
            return number_error(arg, number.status, element);
        }
        element.on_int64(params, number.value);
    } else if (element.on_uint64 != nullptr) {
        const StatusOr<unsigned long long> number = no_exception_stoull(value);
        if (!number.ok) {
            return number_error(arg, number.status, element);
        }
        element.on_uint64(params, static_cast<unsigned long>(number.value));
    } else if (element.on_double != nullptr) {
        const StatusOr<double> number = no_exception_stod(value);
        if (!number.ok) {
            return number_error(arg, number.status, element);
        }
        element.on_double(params, number.value);
    } else if (element.on_bool != nullptr) {
        if (value == "true") {
            element.on_bool(params, true);
        } else if (value == "false") {
            element.on_bool(params, false);
        } else {
            return ErrorStatus(StatusCode::kError, std::string("error while handling argument \"") +
                                                       arg + "\": " + element.to_string() +
                                                       "\n\nusage: only support 'true'/'false'");
        }
    }
    // An element without a value action consumes its value and does nothing.
    return OkStatus();
}

StatusOr<bool> common_params_parse_ex(int argc, const char** argv, CMDLineContext& ctx) {
    CMDLineParams& params = *ctx.params;

    // A name registered by several elements belongs to the last of them.
    std::unordered_map<std::string, const CMDLineElement*> by_name;
    for (const CMDLineElement& element : ctx.options) {
        for (const char* name : element.names) {
            by_name[name] = &element;
        }
    }

    for (const CMDLineElement& element : ctx.options) {
        std::string value;
        if (!element.get_value_from_env(value)) {
            continue;
        }
        const Status status = apply_env_value(element, value, params);
        if (status.code != StatusCode::kOk) {
            return make_status_or<bool>(status);
        }
    }

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const auto found = by_name.find(arg);
        if (found == by_name.end()) {
            return make_status_or<bool>(
                ErrorStatus(StatusCode::kError, std::string("error: invalid argument: ") + arg));
        }
        const CMDLineElement& element = *found->second;
        if (element.has_value_from_env()) {
            std::fprintf(stderr,
                         "warn: %s environment variable is set, but will be overwritten by "
                         "command line argument %s\n",
                         element.env_name, arg);
        }
        if (element.on_flag != nullptr) {
            element.on_flag(params);
            continue;
        }
        ++i;
        if (i >= argc) {
            return make_status_or<bool>(ErrorStatus(
                StatusCode::kError, std::string("argument: ") + arg + ", expected value"));
        }
        const Status status = apply_arg_value(element, arg, argv[i], params);
        if (status.code != StatusCode::kOk) {
            return make_status_or<bool>(status);
        }
    }
    return make_status_or<bool>(true);
}

}  // namespace

CMDLineElement make_option(const char* name, const char* value_type, const char* help) {
    CMDLineElement element;
    element.names = {name};
    element.value_type = value_type;
    element.help = help;
    return element;
}

bool CMDLineElement::has_value_from_env() const {
    return env_name != nullptr && std::getenv(env_name) != nullptr;
}

bool CMDLineElement::get_value_from_env(std::string& out) const {
    if (env_name == nullptr) {
        return false;
    }
    const char* value = std::getenv(env_name);
    if (value == nullptr) {
        return false;
    }
    out.assign(value);
    return true;
}

std::string CMDLineElement::to_string() const {
    std::ostringstream entry;

    if (names.size() == 1) {
        entry << names[0];
    } else {
        for (size_t i = 0; i < names.size(); ++i) {
            if (i == 0) {
                std::string first = std::string(names[i]) + ", ";
                if (first.size() < kFirstNameCell) {
                    first.append(kFirstNameCell - first.size(), ' ');
                }
                entry << first;
            } else {
                entry << names[i];
                if (i + 1 != names.size()) {
                    entry << ", ";
                }
            }
        }
    }
    if (value_type != nullptr) {
        entry << ' ' << value_type;
    }

    const size_t column = entry.str().size();
    if (column > kLongNamesThreshold) {
        entry << '\n' << std::string(kHelpColumn, ' ');
    } else {
        entry << std::string(kHelpColumn - column, ' ');
    }

    std::vector<std::string> lines;
    for (const std::string& line : split_help_lines(help)) {
        if (line.size() <= kHelpWidth) {
            lines.push_back(line);
        } else {
            reflow_line(line, lines);
        }
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i != 0) {
            entry << std::string(kHelpColumn, ' ');
        }
        entry << lines[i] << '\n';
    }
    return entry.str();
}

ArgumentParser::ArgumentParser(std::function<void(CMDLineContext&)> init)
    : user_init(std::move(init)) {}

bool ArgumentParser::cmdline_params_parse(int argc, const char** argv, CMDLineParams& params,
                                          UsageCallback usage_callback) {
    try {
        CMDLineContext ctx = common_params_parser_init(params, usage_callback);
        if (user_init) {
            user_init(ctx);
        }

        // A rejected command line leaves the holder as it was; the application record keeps
        // whatever the actions before the failing argument wrote.
        const CMDLineParams saved = params;
        const StatusOr<bool> result = common_params_parse_ex(argc, argv, ctx);
        if (!result.ok) {
            params = saved;
            std::fprintf(stderr, "%s\n", result.status.message.c_str());
            return false;
        }
        if (params.usage) {
            std::printf("%s", "----- common params -----\n\n");
            for (const CMDLineElement& element : ctx.options) {
                std::printf("%s", element.to_string().c_str());
            }
            if (ctx.usage_callback != nullptr) {
                ctx.usage_callback(argc, argv);
            }
        }
        return true;
    } catch (const std::exception& e) {
        std::printf("ArgumentParser: Exception: %s\n", e.what());
    } catch (...) {
        std::printf("ArgumentParser: Unkown Exception\n");
    }
    return false;
}

}  // namespace my_utils
