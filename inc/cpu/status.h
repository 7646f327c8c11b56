// Result values of the command-line toolkit: failures inside the parser travel as values, not
// as exceptions, and only the parser's public entry turns them into a bool and a printed line.
#pragma once

#include <cstdint>
#include <string>

namespace my_utils {

enum class StatusCode : std::int32_t {
    kOk = 0,
    kError = 1,
};

struct Status {
    StatusCode code = StatusCode::kOk;
    // Empty for success; the complete, user-facing text of an error.
    std::string message;
};

// Either a result (ok is true) or the Status that explains why there is none. value is
// meaningful only when ok is true.
template <typename T>
struct StatusOr {
    T value{};
    bool ok = false;
    Status status;
};

Status OkStatus();
Status ErrorStatus(StatusCode code, const std::string& message);

template <typename T>
StatusOr<T> make_status_or(T value) {
    StatusOr<T> result;
    result.value = value;
    result.ok = true;
    result.status = OkStatus();
    return result;
}

template <typename T>
StatusOr<T> make_status_or(const Status& error) {
    StatusOr<T> result;
    result.ok = false;
    result.status = error;
    return result;
}

}  // namespace my_utils
