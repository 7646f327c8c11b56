// gzip for responses: whether a client's Accept-Encoding allows it, and the compression itself
// (zlib).
#pragma once

#include <string>

namespace vorlix::kestrel::exporter {

// True when the Accept-Encoding header value (null when the header is absent) accepts gzip:
// "gzip" (or "x-gzip", or "*" when gzip is not named) with a quality above 0.
bool accepts_gzip(const char* accept_encoding);

// `text` as a gzip stream in `out`; false when zlib fails.
bool gzip_compress(const std::string& text, std::string* out);

}  // namespace vorlix::kestrel::exporter
