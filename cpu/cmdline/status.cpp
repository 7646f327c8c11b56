#include "cpu/status.h"

namespace my_utils {

Status OkStatus() {
    return Status{StatusCode::kOk, std::string()};
}

Status ErrorStatus(StatusCode code, const std::string& message) {
    return Status{code, message};
}

}  // namespace my_utils
