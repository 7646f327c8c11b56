// A plain HTTP/1.1 client over loopback for tests and load figures: one request, the whole
// answer read until the server closes.
#pragma once

#include <string>

namespace kestrel_test {

struct HttpResponse {
    int status = 0;  // 0 when no HTTP answer came
    std::string head;
    std::string body;  // chunked bodies joined
};

// Sends `request` as it is to 127.0.0.1:`port` and reads the whole answer (the server closes;
// no answer within 30 s is none).
// With `source`, the connection comes from that local address (e.g. "127.0.0.2").
HttpResponse http_exchange(int port, const std::string& request, const char* source = nullptr);
// One GET of `target` with "Connection: close".
HttpResponse http_get(int port, const std::string& target);

}  // namespace kestrel_test
