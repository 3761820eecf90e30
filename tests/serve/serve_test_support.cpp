// Shared pieces of the phone server's tests; see serve_test_support.h.
#include "serve_test_support.h"

#include <gtest/gtest.h>

#include <fstream>

#include "serve/log/fetch_log_reader.h"
#include "temp_dir.h"
#include "wait_until.h"

namespace velquor::testing {

void writeSiteFolder(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    writeFile(folder / "001A2B3C4D5E.xml", "<config phone=\"1\"/>\n");
    writeFile(folder / "0015650a33fb.xml", "<config phone=\"2\"/>\n");
    writeFile(folder / "common.cfg", "shared settings\n");
}

HttpAnswer curlGet(std::uint16_t port, const std::string& path, const std::string& options) {
    TempDir scratch;
    const std::filesystem::path body = scratch / "body";
    const std::string scheme = options.find("--cacert") != std::string::npos ? "https" : "http";
    int exitStatus = 0;
    const std::string code = runCommand(
        "curl -s --path-as-is -o " + shellQuote(body.string()) + " -w '%{http_code}' " + options +
            " " + shellQuote(scheme + "://127.0.0.1:" + std::to_string(port) + path),
        &exitStatus);
    HttpAnswer answer;
    answer.status = std::atoi(code.c_str());
    if (std::filesystem::exists(body)) answer.body = readFile(body);
    return answer;
}

int rawRequestStatus(std::uint16_t port, const std::string& request) {
    TempDir scratch;
    writeFile(scratch / "request", request);
    const std::string script =
        "import socket,sys\n"
        "s=socket.create_connection(('127.0.0.1'," +
        std::to_string(port) +
        "))\n"
        "s.sendall(open(sys.argv[1],'rb').read())\n"
        "data=b''\n"
        "while not data.endswith(b'\\r\\n') and b'\\r\\n' not in data:\n"
        "    chunk=s.recv(4096)\n"
        "    if not chunk: break\n"
        "    data+=chunk\n"
        "parts=data.split(b' ')\n"
        "print(parts[1].decode() if len(parts)>1 else '0')\n";
    writeFile(scratch / "raw.py", script);
    return std::atoi(runCommand("python3 " + shellQuote((scratch / "raw.py").string()) + " " +
                                shellQuote((scratch / "request").string()))
                         .c_str());
}

std::uint16_t startServe(std::unique_ptr<ChildProcess>& child, const std::filesystem::path& output,
                         std::vector<std::string> arguments, const std::string& shellLine,
                         const std::string& address, const std::string& host) {
    constexpr auto kStartLimit = std::chrono::seconds(30);
    arguments.insert(arguments.begin(), {VELQUOR_CLI_BINARY, "serve"});
    if (!shellLine.empty()) arguments.insert(arguments.begin(), {"/bin/sh", "-c", shellLine, "sh"});
    arguments.insert(arguments.end(), {"--address", address, "--port", "0"});
    child = std::make_unique<ChildProcess>(arguments, output);
    const std::string serving = " on http://" + host + ":";
    std::uint16_t port = 0;
    const bool started = waitUntil(
        [&] {
            const std::string text = readFile(output);
            const auto line = text.find("serving ");
            const auto at = line == std::string::npos ? line : text.find(serving, line);
            const auto end = at == std::string::npos ? at : text.find('/', at + serving.size());
            if (end == std::string::npos) return false;
            port = static_cast<std::uint16_t>(
                std::stoi(text.substr(at + serving.size(), end - at - serving.size())));
            return true;
        },
        kStartLimit);
    if (!started) ADD_FAILURE() << "velquor-cli serve did not start: " << readFile(output);
    return port;
}

void serveOnLoopback(serve::ServeOptions& options, const std::filesystem::path& dir) {
    if (options.folder.empty()) options.folder = dir / "site";
    options.address = "127.0.0.1";
    options.port = 0;
}

std::vector<serve::FetchRecord> loggedRecords(const std::filesystem::path& log) {
    auto records = serve::readFetchLog(log);
    EXPECT_TRUE(records) << records.error().message;
    return records ? *records : std::vector<serve::FetchRecord>{};
}

}  // namespace velquor::testing
