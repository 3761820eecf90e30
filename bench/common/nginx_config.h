// The start of an nginx configuration for a benchmark's peer: as many workers as cores, in the
// foreground, its pid, logs and temporary folders under prefix, and an open http block (the
// caller adds its maps and server, and closes it).
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>

namespace velquor::bench {

inline std::string nginxConfigStart(const std::filesystem::path& prefix) {
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    const std::string at = prefix.string();
    std::string config = "worker_processes " + std::to_string(workers) + ";\ndaemon off;\npid " +
                         at + "/nginx.pid;\nerror_log " + at +
                         "/error.log;\nevents { worker_connections 32768; }\nhttp {\n"
                         "  access_log " +
                         at + "/access.log;\n";
    for (const char* temporary : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        config += std::string("  ") + temporary + "_temp_path " + at + "/" + temporary + ";\n";
    return config;
}

}  // namespace velquor::bench
