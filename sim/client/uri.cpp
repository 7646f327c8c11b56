#include "uri.h"

#include <sys/stat.h>

namespace kestrel_sim {

std::optional<ModuleUri> parse_module_uri(const std::string& uri) {
    static const std::string prefix = "file:///";
    if (uri.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    const size_t q = uri.find('?', prefix.size());
    if (q == std::string::npos) {
        return std::nullopt;
    }
    ModuleUri m;
    m.file = uri.substr(prefix.size(), q - prefix.size());
    const size_t amp = uri.find('&', q + 1);
    m.entry = uri.substr(q + 1, amp == std::string::npos ? std::string::npos : amp - q - 1);
    if (m.file.empty() || m.entry.empty()) {
        return std::nullopt;
    }
    size_t pos = amp;
    while (pos != std::string::npos) {
        const size_t next = uri.find('&', pos + 1);
        const std::string param =
            uri.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1);
        static const std::string dom = "_dom=";
        if (param.compare(0, dom.size(), dom) == 0) {
            m.domain = param.substr(dom.size());
        }
        pos = next;
    }
    return m;
}

std::vector<std::string> split_search_path(const std::string& path) {
    std::vector<std::string> dirs;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(';', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            dirs.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return dirs;
}

std::optional<std::string> find_library(const std::string& file, const std::string& search_path,
                                        const std::string& cwd) {
    for (const auto& dir : split_search_path(search_path)) {
        std::string candidate = dir + "/" + file;
        if (dir[0] != '/') {
            candidate = cwd + "/" + candidate;
        }
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            return candidate;
        }
    }
    return std::nullopt;
}

}  // namespace kestrel_sim
