// gzip for responses with zlib.
#include "cpu/exporter/compression.h"

#include <zlib.h>

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace vorlix::kestrel::exporter {

namespace {

std::string trim_lower(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return "";
    }
    const std::size_t end = text.find_last_not_of(" \t");
    std::string out = text.substr(begin, end - begin + 1);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

// The quality of one element ("gzip;q=0.5"): 1 without a q parameter.
double quality(const std::string& parameters) {
    std::istringstream in(parameters);
    for (std::string parameter; std::getline(in, parameter, ';');) {
        parameter = trim_lower(parameter);
        if (parameter.compare(0, 2, "q=") == 0) {
            return std::strtod(parameter.c_str() + 2, nullptr);
        }
    }
    return 1.0;
}

}  // namespace

bool accepts_gzip(const char* accept_encoding) {
    if (accept_encoding == nullptr) {
        return false;
    }
    double gzip = -1.0;  // not named
    double any = -1.0;
    std::istringstream in(accept_encoding);
    for (std::string element; std::getline(in, element, ',');) {
        const std::size_t semicolon = element.find(';');
        const std::string coding = trim_lower(element.substr(0, semicolon));
        const double q =
            semicolon == std::string::npos ? 1.0 : quality(element.substr(semicolon + 1));
        if (coding == "gzip" || coding == "x-gzip") {
            gzip = q;
        } else if (coding == "*") {
            any = q;
        }
    }
    return gzip >= 0.0 ? gzip > 0.0 : any > 0.0;
}

bool gzip_compress(const std::string& text, std::string* out) {
    z_stream stream{};
    // 15 window bits, plus 16 for the gzip wrapper; level 6 as gzip(1) has by default.
    if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return false;
    }
    out->resize(deflateBound(&stream, text.size()));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out->data());
    stream.avail_out = static_cast<uInt>(out->size());
    const int rc = deflate(&stream, Z_FINISH);
    out->resize(stream.total_out);
    deflateEnd(&stream);
    return rc == Z_STREAM_END;
}

}  // namespace vorlix::kestrel::exporter
