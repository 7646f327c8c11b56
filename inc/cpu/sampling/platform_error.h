// What the platform's results mean, in words: FastRPC's own results, the DSP library's
// skeleton's and its service's, for the messages that show a failed step beside its code.
#pragma once

namespace vorlix::kestrel {

// The meaning of a result of a FastRPC call or of the DSP library ("the DSP process died or
// could not start" for 0x80000608); null for a result this table does not know.
const char* platform_error_meaning(int code);

}  // namespace vorlix::kestrel
