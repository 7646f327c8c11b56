// A hello-world linked as kestrel is (its C++ run time, {fmt}, the FastRPC client library and
// libkestrel.so, with the same RUNPATH): the floor of a kestrel start on this machine.
#include <cstdio>

#include <fmt/format.h>

#include "fastrpc/fastrpc_client.h"

int main(int argc, char**) {
    // Referenced, never called: the client library stays a needed library, as for kestrel.
    if (argc < 0)
        return remote_handle64_close(0);
    std::fputs(fmt::format("{}\n", "hello").c_str(), stdout);
    return 0;
}
