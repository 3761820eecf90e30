// The boot storm: 10,000 phones each fetching its own 4 KB file, 256 connections in flight, one
// connection per phone, on loopback, from velquor-cli serve (fetch log on) and from nginx
// (access log on) serving the same folder in the same run. Prints requests per second and the
// 99th percentile latency of both and their ratio; then the time one phone's fetch takes while
// 1,000 idle connections from one address are held. Each phone connects from one of 64
// loopback addresses, as a site's phones come from many.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench_target.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPhones = 10000;
constexpr int kInFlight = 256;
constexpr int kSourceAddresses = 64;
constexpr std::size_t kFileBytes = 4096;
constexpr int kRounds = 5;
constexpr int kIdleConnections = 1000;

struct StormResult {
    double requestsPerSecond = 0;
    double p99Ms = 0;
    int failures = 0;
};

std::string macName(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "0015%08X.xml", 0x65000000u + static_cast<unsigned>(index));
    return name;
}

void makeFolder(const fs::path& folder) {
    fs::create_directories(folder);
    std::string body(kFileBytes, 'x');
    for (int i = 0; i < kPhones; ++i) {
        std::ofstream out(folder / macName(i), std::ios::binary);
        std::snprintf(body.data(), 64, "<config phone=\"%d\">", i);
        out << body;
    }
}

sockaddr_in loopback(int last, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl((127u << 24) | (1u << 8) | static_cast<unsigned>(last));
    if (last == 0) address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A connection of the storm: one request, the answer read to its end (the server closes).
struct Phone {
    int fd = -1;
    int index = 0;
    std::string request;
    std::size_t sent = 0;
    std::string answer;
    Clock::time_point started;
};

bool startPhone(Phone& phone, int epoll, std::uint16_t port) {
    phone.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in source = loopback(1 + phone.index % kSourceAddresses, 0);
    const sockaddr_in target = loopback(0, port);
    ::bind(phone.fd, reinterpret_cast<const sockaddr*>(&source), sizeof source);
    phone.started = Clock::now();
    phone.sent = 0;
    phone.answer.clear();
    phone.request = "GET /prov/" + macName(phone.index) +
                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: bench-phone/1.0\r\n"
                    "Connection: close\r\n\r\n";
    if (::connect(phone.fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 &&
        errno != EINPROGRESS) {
        ::close(phone.fd);
        return false;
    }
    epoll_event event{};
    event.events = EPOLLOUT | EPOLLIN;
    event.data.ptr = &phone;
    ::epoll_ctl(epoll, EPOLL_CTL_ADD, phone.fd, &event);
    return true;
}

StormResult storm(std::uint16_t port) {
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<Phone> phones(kInFlight);
    std::vector<double> latencies;
    latencies.reserve(kPhones);
    StormResult result;
    int next = 0;
    int done = 0;
    const auto begin = Clock::now();
    for (Phone& phone : phones) {
        phone.index = next++;
        if (!startPhone(phone, epoll, port)) ++result.failures;
    }
    std::vector<epoll_event> events(kInFlight);
    char buffer[16384];
    while (done < kPhones) {
        const int count = ::epoll_wait(epoll, events.data(), kInFlight, 5000);
        if (count <= 0) break;
        for (int i = 0; i < count; ++i) {
            Phone& phone = *static_cast<Phone*>(events[i].data.ptr);
            bool finished = false;
            if ((events[i].events & EPOLLOUT) && phone.sent < phone.request.size()) {
                const ssize_t n = ::send(phone.fd, phone.request.data() + phone.sent,
                                         phone.request.size() - phone.sent, MSG_NOSIGNAL);
                if (n > 0) phone.sent += static_cast<std::size_t>(n);
                if (n < 0 && errno != EAGAIN) finished = true;
                if (phone.sent == phone.request.size()) {
                    epoll_event event{};
                    event.events = EPOLLIN;
                    event.data.ptr = &phone;
                    ::epoll_ctl(epoll, EPOLL_CTL_MOD, phone.fd, &event);
                }
            }
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                for (;;) {
                    const ssize_t n = ::recv(phone.fd, buffer, sizeof buffer, 0);
                    if (n > 0) {
                        phone.answer.append(buffer, static_cast<std::size_t>(n));
                        continue;
                    }
                    if (n == 0 || errno != EAGAIN) finished = true;
                    break;
                }
            }
            if (!finished) continue;
            ::close(phone.fd);
            ++done;
            const bool ok =
                phone.answer.rfind("HTTP/1.1 200", 0) == 0 && phone.answer.size() > kFileBytes;
            if (!ok) ++result.failures;
            latencies.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - phone.started).count());
            if (next < kPhones) {
                phone.index = next++;
                if (!startPhone(phone, epoll, port)) {
                    ++result.failures;
                    ++done;
                }
            }
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    ::close(epoll);
    result.failures += kPhones - done;
    result.requestsPerSecond = done / seconds;
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) result.p99Ms = latencies[latencies.size() * 99 / 100];
    return result;
}

bool answers(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in target = loopback(0, port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
    ::close(fd);
    return ok;
}

bool waitUntilAnswering(std::uint16_t port) {
    const auto limit = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < limit) {
        if (answers(port)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0, 0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

pid_t spawn(const std::vector<std::string>& arguments, const fs::path& output) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

std::string nginxConfig(const fs::path& prefix, const fs::path& folder, std::uint16_t port) {
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    return "worker_processes " + std::to_string(workers) + ";\ndaemon off;\npid " +
           (prefix / "nginx.pid").string() + ";\nerror_log " + (prefix / "error.log").string() +
           ";\nevents { worker_connections 4096; }\nhttp {\n"
           "  access_log " +
           (prefix / "access.log").string() +
           ";\n"
           "  client_body_temp_path " +
           (prefix / "body").string() +
           ";\n"
           "  proxy_temp_path " +
           (prefix / "proxy").string() +
           ";\n"
           "  fastcgi_temp_path " +
           (prefix / "fastcgi").string() +
           ";\n"
           "  uwsgi_temp_path " +
           (prefix / "uwsgi").string() +
           ";\n"
           "  scgi_temp_path " +
           (prefix / "scgi").string() +
           ";\n"
           "  sendfile on;\n  default_type application/octet-stream;\n"
           "  server {\n    listen 127.0.0.1:" +
           std::to_string(port) +
           " backlog=1024;\n"
           "    location /prov/ { alias " +
           folder.string() + "/; }\n  }\n}\n";
}

// One phone's fetch from another address while kIdleConnections idle ones are held.
double fetchBesideIdleConnections(std::uint16_t port) {
    std::vector<int> idle;
    for (int i = 0; i < kIdleConnections; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in source = loopback(200, 0);
        const sockaddr_in target = loopback(0, port);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
            const char partial[] = "GET /prov/ HTTP/1.1\r\nHo";
            ::send(fd, partial, sizeof partial - 1, MSG_NOSIGNAL);
        }
        idle.push_back(fd);
    }
    const auto begin = Clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in source = loopback(201, 0);
    const sockaddr_in target = loopback(0, port);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source);
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
        const std::string request =
            "GET /prov/" + macName(7) + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[8192];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    ::close(fd);
    for (int held : idle) ::close(held);
    return answer.rfind("HTTP/1.1 200", 0) == 0 ? ms : 1e9;
}

StormResult best(const std::vector<StormResult>& results) {
    return *std::max_element(results.begin(), results.end(), [](const auto& a, const auto& b) {
        return a.requestsPerSecond < b.requestsPerSecond;
    });
}

}  // namespace

int main() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 65536);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    char pattern[] = "/tmp/velquor-storm-XXXXXX";
    const fs::path dir = ::mkdtemp(pattern);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    const fs::path folder = dir / "site";
    makeFolder(folder);
    fs::create_directories(dir / "nginx");

    const std::uint16_t nginxPort = freePort();
    std::ofstream(dir / "nginx" / "nginx.conf") << nginxConfig(dir / "nginx", folder, nginxPort);
    const pid_t nginx = spawn(
        {"nginx", "-p", (dir / "nginx").string() + "/", "-e",
         (dir / "nginx" / "error.log").string(), "-c", (dir / "nginx" / "nginx.conf").string()},
        dir / "nginx.out");
    const std::uint16_t ourPort = freePort();
    const pid_t ours =
        spawn({VELQUOR_CLI_BINARY, "serve", folder.string(), "--address", "127.0.0.1", "--port",
               std::to_string(ourPort), "--log", (dir / "fetch.csv").string()},
              dir / "serve.out");
    if (!waitUntilAnswering(nginxPort) || !waitUntilAnswering(ourPort)) {
        std::fprintf(stderr, "bench_boot_storm: a server did not start (see %s)\n", dir.c_str());
        stop(nginx);
        stop(ours);
        return 1;
    }
    storm(ourPort);  // warm-up: page cache, connection tables
    storm(nginxPort);
    std::vector<StormResult> ourRuns, nginxRuns;
    for (int round = 0; round < kRounds; ++round) {
        ourRuns.push_back(storm(ourPort));
        nginxRuns.push_back(storm(nginxPort));
    }
    const StormResult our = best(ourRuns), peer = best(nginxRuns);
    const double idleFetchMs = fetchBesideIdleConnections(ourPort);
    stop(ours);
    stop(nginx);

    std::uintmax_t logLines = 0;
    {
        std::ifstream log(dir / "fetch.csv");
        for (std::string line; std::getline(log, line);) ++logLines;
    }
    std::printf("boot storm: %d phones, %zu-byte files, %d connections in flight, best of %d\n",
                kPhones, kFileBytes, kInFlight, kRounds);
    std::printf(
        "  velquor-cli serve  %9.0f requests/s  p99 %7.2f ms  failures %d  (fetch log: %ju "
        "lines)\n",
        our.requestsPerSecond, our.p99Ms, our.failures, logLines);
    std::printf("  nginx              %9.0f requests/s  p99 %7.2f ms  failures %d\n",
                peer.requestsPerSecond, peer.p99Ms, peer.failures);
    const double ratio = our.requestsPerSecond / peer.requestsPerSecond;
    std::printf("  ratio %.3f (velquor / nginx), p99 ratio %.3f\n", ratio, our.p99Ms / peer.p99Ms);
    std::printf("one fetch beside %d idle connections from one address: %.2f ms\n",
                kIdleConnections, idleFetchMs);
    bool met = velquor::bench::reportTarget("boot storm requests/s vs nginx (ratio)", ratio,
                                            velquor::bench::Goal::AtLeast, 0.9);
    met &= velquor::bench::reportTarget("boot storm failed fetches", our.failures,
                                        velquor::bench::Goal::AtMost, 0);
    met &= velquor::bench::reportTarget("fetch beside 1,000 idle connections (ms)", idleFetchMs,
                                        velquor::bench::Goal::AtMost, 1000);
    fs::remove_all(dir);
    return met ? 0 : 1;
}
