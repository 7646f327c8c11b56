// The exporter's command-line options.
#include "cpu/exporter/exporter_options.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "cpu/program_options.h"

namespace vorlix::kestrel::exporter {

using my_utils::CMDLineElement;
using my_utils::CMDLineParams;
using my_utils::make_option;

ExporterParams& get_exporter_params(CMDLineParams& params) {
    return *static_cast<ExporterParams*>(params.user_param);
}

std::vector<std::string> split_option_values(int argc, const char** argv) {
    my_utils::CMDLineContext ctx;
    exporter_options_init(ctx);
    std::vector<std::string> out;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::size_t equals = arg.find('=');
        bool split = false;
        if (i > 0 && arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            const std::string name = arg.substr(0, equals);
            for (const CMDLineElement& element : ctx.options) {
                for (const char* known : element.names) {
                    split = split || (element.value_type != nullptr && name == known);
                }
            }
        }
        if (split) {
            out.push_back(arg.substr(0, equals));
            out.push_back(arg.substr(equals + 1));
        } else {
            out.push_back(arg);
        }
    }
    return out;
}

namespace {

// The options of the HTTP side, with the Prometheus exporters' names.
void web_options(std::vector<CMDLineElement>& options) {
    CMDLineElement listen;
    listen.names = {"--web.listen-address", "--listen"};
    listen.value_type = "ADDR:PORT";
    listen.help =
        "serve on this address, default 127.0.0.1:9846 ([::1]:PORT for IPv6, :PORT for every "
        "IPv4 address); repeat the option to serve on several";
    listen.on_string = [](CMDLineParams& p, const std::string& v) {
        get_exporter_params(p).listen.push_back(v);
    };
    options.push_back(std::move(listen));

    CMDLineElement path =
        make_option("--web.telemetry-path", "PATH", "path of the metrics, default /metrics");
    path.on_string = [](CMDLineParams& p, const std::string& v) {
        get_exporter_params(p).telemetry_path = v;
    };
    options.push_back(std::move(path));

    CMDLineElement config = make_option("--web.config.file", "FILE",
                                        "web configuration (YAML): TLS, basic authentication, "
                                        "response headers; read again when it changes");
    config.on_string = [](CMDLineParams& p, const std::string& v) {
        get_exporter_params(p).web_config_file = v;
    };
    options.push_back(std::move(config));

    CMDLineElement systemd = make_option("--web.systemd-socket", nullptr,
                                         "serve on the sockets systemd passes (socket activation) "
                                         "instead of listening on addresses");
    systemd.on_flag = [](CMDLineParams& p) { get_exporter_params(p).systemd_socket = true; };
    options.push_back(std::move(systemd));

    CMDLineElement no_self = make_option("--web.disable-exporter-metrics", nullptr,
                                         "leave out the process_* and kestrel_exporter_scrape* "
                                         "metrics");
    no_self.on_flag = [](CMDLineParams& p) { get_exporter_params(p).exporter_metrics = false; };
    options.push_back(std::move(no_self));

    CMDLineElement max_requests = make_option("--web.max-requests", "N",
                                              "requests answered at once, default 40; more get 503 "
                                              "(0: no limit)");
    max_requests.on_uint64 = [](CMDLineParams& p, unsigned long v) {
        get_exporter_params(p).max_requests = v;
    };
    options.push_back(std::move(max_requests));
}

// What is sampled, and where else it goes.
void sampling_options(std::vector<CMDLineElement>& options) {
    CMDLineElement sample_time =
        make_option("--sample_time", "MS", "sampling window (ms), default 1000");
    sample_time.on_uint64 = [](CMDLineParams& p, unsigned long v) {
        get_exporter_params(p).sample_time = v;
    };
    options.push_back(std::move(sample_time));

    CMDLineElement index = make_option("--cdsp_index", "N",
                                       "sample only this compute-DSP core (repeat the option for "
                                       "several), default every core of the board");
    index.on_uint64 = [](CMDLineParams& p, unsigned long v) {
        get_exporter_params(p).cdsp_index.push_back(v);
    };
    options.push_back(std::move(index));

    CMDLineElement textfile = make_option("--textfile", "DIR",
                                          "after each sample, write DIR/kestrel.prom for "
                                          "node_exporter's textfile collector");
    textfile.on_string = [](CMDLineParams& p, const std::string& v) {
        get_exporter_params(p).textfile = v;
    };
    options.push_back(std::move(textfile));

    CMDLineElement once =
        make_option("--once", nullptr,
                    "take one sample of every core, print the metrics on standard "
                    "output and exit");
    once.on_flag = [](CMDLineParams& p) { get_exporter_params(p).once = true; };
    options.push_back(std::move(once));
}

}  // namespace

void exporter_options_init(my_utils::CMDLineContext& ctx) {
    web_options(ctx.options);
    sampling_options(ctx.options);
    ctx.options.push_back(program_version_option("kestrel-exporter"));
}

}  // namespace vorlix::kestrel::exporter
