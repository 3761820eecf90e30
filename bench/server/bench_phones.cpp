// kestod's phones' port beside nginx from Debian's archive doing the same job in the same run:
// 10,000 phones (VELQUOR_BENCH_PHONES), each with a certificate from the phones' CA naming its
// MAC, ask GET /phone/{mac} over a full TLS handshake, 256 in flight, and must be sent to their
// Server text (302). nginx has ssl_verify_client on the same CA, a map from the certificate's
// name to the MAC and one from the MAC to its Location. Rounds alternate which goes first: the
// rate and the 99th percentile ratios are judged on the median round. Then 2,000 of the phones
// again, at each server in turn, while 1,000 requests a second with certificates of another CA
// come from the phones' own addresses (event loops sending on a schedule; what was started and
// answered is printed): kestod's phones' rate against its rate without is judged, nginx's is
// printed beside it.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench_folder.h"
#include "bench_sizes.h"
#include "bench_target.h"
#include "certificate_flood.h"
#include "kesto_requests.h"
#include "kestod_fixture.h"
#include "loopback.h"
#include "nginx_config.h"
#include "phone_fetches.h"
#include "server_processes.h"
#include "tls_phones.h"

namespace fs = std::filesystem;
using namespace velquor::bench;
using velquor::testing::KestodFixture;
using velquor::testing::KestodOptions;
using velquor::testing::KestoPeer;

namespace {

constexpr std::size_t kInFlight = 256;
constexpr unsigned kSourceAddresses = 64;
constexpr unsigned kPhoneBlock = 1;
constexpr std::size_t kBadPerSecond = 1000;
// The flood's event loops: enough that the rate holds while the phones keep the cores busy.
constexpr unsigned kFloodLoops = 4;
// The phones that ask beside the flood: their rate, not their count, is what is compared.
constexpr std::size_t kPhonesBesideFlood = 2000;

std::string macOf(std::size_t index) {
    char text[32];
    std::snprintf(text, sizeof text, "02%010zx", index & std::size_t{0xffffffffff});
    return text;
}

std::string locationOf(std::size_t index) {
    return "http://prov.example/site/" + macOf(index) + "/";
}

// Registers every phone's MAC with its Location, 16 connections at once.
void registerPhones(const KestodFixture& server, std::size_t phones) {
    KestoPeer chief(server);
    if (chief.login("chief", server.chiefPassword()) != "YES" ||
        chief.account("ADD", "site", "pw-site") != "YES")
        throw std::runtime_error("cannot make the site's account");
    KestoPeer site(server, "127.0.0.2");
    if (site.login("site", "pw-site") != "YES") throw std::runtime_error("cannot log in");
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> refused{0};
    std::vector<std::jthread> senders;
    for (int t = 0; t < 16; ++t) {
        senders.emplace_back([&] {
            for (std::size_t i; (i = next++) < phones;) {
                if (site.device("ADD", macOf(i), locationOf(i), "site") != "YES") ++refused;
            }
        });
    }
    senders.clear();
    if (refused > 0) throw std::runtime_error(std::to_string(refused) + " registrations refused");
}

std::string nginxConfig(const fs::path& prefix, std::uint16_t port, const TlsFiles& tls,
                        const fs::path& ca, std::size_t phones) {
    std::string config = nginxConfigStart(prefix);
    config += "  map_hash_max_size 65536;\n";
    config +=
        "  map $ssl_client_s_dn $phone_mac {\n"
        "    \"~CN=SEP(?<mac>[0-9a-f]{12})\" $mac;\n    default none;\n  }\n"
        "  map $phone_mac $phone_location {\n    default \"\";\n";
    for (std::size_t i = 0; i < phones; ++i)
        config += "    " + macOf(i) + " \"" + locationOf(i) + "\";\n";
    config += "  }\n  server {\n    listen 127.0.0.1:" + std::to_string(port) +
              " ssl backlog=1024;\n    ssl_certificate " + tls.certificate.string() +
              ";\n    ssl_certificate_key " + tls.key.string() +
              ";\n    ssl_protocols TLSv1.2 TLSv1.3;\n    ssl_client_certificate " + ca.string() +
              ";\n    ssl_verify_client on;\n"
              "    location ~ \"^/phone/(?<asked>[0-9a-f]{12})$\" {\n"
              "      if ($asked != $phone_mac) { return 403; }\n"
              "      if ($phone_location = \"\") { return 404; }\n"
              "      return 302 $phone_location;\n    }\n  }\n}\n";
    return config;
}

// Phones with certificates of ca asking from the phones' addresses; status: what they must get.
std::vector<TlsPhone> phonesOf(PhonesCa& ca, std::size_t count, int status) {
    std::vector<TlsPhone> phones;
    for (std::size_t i = 0; i < count; ++i) {
        phones.push_back({loopbackSource(kPhoneBlock, static_cast<unsigned>(i % kSourceAddresses)),
                          "/phone/" + macOf(i), locationOf(i).size() + 1,
                          ca.issue("SEP" + macOf(i)), status});
    }
    return phones;
}

// What each answer the phones did not expect was: "status: count", 0 for none at all.
std::string unexpectedOf(const TlsFetchOutcome& outcome, int expected) {
    std::string text;
    for (const auto& [status, count] : outcome.statuses) {
        if (status == expected) continue;
        text += (text.empty() ? "" : ", ") + std::to_string(status) + ": " + std::to_string(count);
    }
    return text.empty() ? "none" : text;
}

// The reasons kestod's log gives for the connections it closed, each with its lines (the log
// keeps one line per reason, address and ten seconds, so a line may stand for many).
void printClosedReasons(const std::string& log) {
    std::map<std::string, std::size_t> lines;
    for (std::size_t at = log.find("closed: "); at != std::string::npos;
         at = log.find("closed: ", at + 1)) {
        // A count line adds "(N more in the last 10 s)" after the reason: cut there too.
        const std::size_t end = log.find_first_of("()\n", at);
        std::string reason =
            log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        while (!reason.empty() && reason.back() == ' ') reason.pop_back();
        ++lines[reason];
    }
    for (const auto& [reason, count] : lines)
        std::printf("    kestod: %s (%zu lines)\n", reason.c_str(), count);
}

}  // namespace

int main() {
    raiseDescriptorLimit();
    const std::size_t count = benchSize("VELQUOR_BENCH_PHONES", 10000);
    const std::size_t rounds = benchSize("VELQUOR_BENCH_ROUNDS", 3, 3);
    const fs::path dir = makeBenchFolder("velquor-kestod-phones");
    openToWorkers(dir);
    try {
        PhonesCa ca;
        ca.writeCertificate(dir / "phones-ca.pem");
        PhonesCa other;
        std::vector<TlsPhone> phones = phonesOf(ca, count, 302);
        std::vector<TlsPhone> bad = phonesOf(other, 1000, 403);
        KestodFixture kestod(KestodOptions{.phoneCas = {(dir / "phones-ca.pem").string()}});
        registerPhones(kestod, count);
        const TlsFiles tls = makeCertificate(dir);
        const std::uint16_t nginxPort = freePort();
        const fs::path prefix = dir / "nginx";
        fs::create_directories(prefix);
        std::ofstream(prefix / "nginx.conf")
            << nginxConfig(prefix, nginxPort, tls, dir / "phones-ca.pem", count);
        ServerProcess nginx(
            {"nginx", "-p", prefix.string() + "/", "-e", (prefix / "error.log").string(), "-c",
             (prefix / "nginx.conf").string()},
            prefix / "nginx.out", prefix / "nginx.err");
        if (!waitUntilAnswering(nginxPort, std::chrono::seconds(30)))
            throw std::runtime_error("nginx did not start (see " + prefix.string() + ")");
        std::printf(
            "kestod phones: %zu phones, a full handshake and one GET /phone/{mac} each, "
            "%zu in flight, %zu rounds\n",
            count, kInFlight, rounds);
        fetchAllOverTls(phones, kestod.phonePort(), kInFlight);  // warm-up
        fetchAllOverTls(phones, nginxPort, kInFlight);
        std::vector<double> rateRatios;
        std::vector<double> p99Ratios;
        std::vector<double> alone;
        std::vector<double> peerAlone;
        std::size_t failures = 0;
        for (std::size_t round = 1; round <= rounds; ++round) {
            // Each goes first in every other round.
            TlsFetchOutcome ours;
            TlsFetchOutcome peer;
            if (round % 2 == 1) {
                ours = fetchAllOverTls(phones, kestod.phonePort(), kInFlight);
                peer = fetchAllOverTls(phones, nginxPort, kInFlight);
            } else {
                peer = fetchAllOverTls(phones, nginxPort, kInFlight);
                ours = fetchAllOverTls(phones, kestod.phonePort(), kInFlight);
            }
            const double ourP99 = percentile(ours.requestMs, 0.99);
            const double peerP99 = percentile(peer.requestMs, 0.99);
            rateRatios.push_back(peer.requestsPerSecond() > 0
                                     ? ours.requestsPerSecond() / peer.requestsPerSecond()
                                     : 0);
            p99Ratios.push_back(peerP99 > 0 ? ourP99 / peerP99 : 0);
            alone.push_back(ours.requestsPerSecond());
            peerAlone.push_back(peer.requestsPerSecond());
            failures += ours.failed;
            std::printf(
                "  round %zu (%s first): kestod %7.0f answers/s p50 %7.2f p99 %7.2f ms failed %zu "
                "| "
                "nginx %7.0f answers/s p50 %7.2f p99 %7.2f ms failed %zu\n",
                round, round % 2 == 1 ? "kestod" : "nginx", ours.requestsPerSecond(),
                percentile(ours.requestMs, 0.5), ourP99, ours.failed, peer.requestsPerSecond(),
                percentile(peer.requestMs, 0.5), peerP99, peer.failed);
            std::fflush(stdout);
        }
        // Beside the flood, on the first kPhonesBesideFlood phones: each server in turn (taking
        // turns going first), the flood sent at it; nginx's figure is its own, for comparison.
        const std::vector<TlsPhone> some(
            phones.begin(), phones.begin() + static_cast<std::ptrdiff_t>(
                                                 std::min(phones.size(), kPhonesBesideFlood)));
        auto besideFlood = [&](std::uint16_t port, const char* name, double without,
                               std::size_t round) {
            CertificateFlood flood(bad, port, kBadPerSecond, kFloodLoops);
            const TlsFetchOutcome beside = fetchAllOverTls(some, port, kInFlight);
            const FloodCount sent = flood.stop();
            const double ratio = without > 0 ? beside.requestsPerSecond() / without : 0;
            std::printf(
                "  round %zu, %s beside bad certificates: %zu started in %.1f s, %.0f answered "
                "a second (%zu unanswered, %zu skipped behind) | phones %7.0f answers/s, %.2f of "
                "without, p99 %7.2f ms, failed %zu (%s)\n",
                round, name, sent.started, sent.seconds, sent.answeredPerSecond(), sent.failed,
                sent.behind, beside.requestsPerSecond(), ratio, percentile(beside.requestMs, 0.99),
                beside.failed, unexpectedOf(beside, 302).c_str());
            std::fflush(stdout);
            return std::tuple(ratio, sent.answeredPerSecond(), beside.failed);
        };
        std::vector<double> besideRatios;
        std::vector<double> floodRates;
        std::size_t failedBeside = 0;
        for (std::size_t round = 1; round <= rounds; ++round) {
            const bool kestodFirst = round % 2 == 1;
            if (!kestodFirst) besideFlood(nginxPort, "nginx", peerAlone[round - 1], round);
            const auto [ratio, floodRate, failed] =
                besideFlood(kestod.phonePort(), "kestod", alone[round - 1], round);
            if (kestodFirst) besideFlood(nginxPort, "nginx", peerAlone[round - 1], round);
            besideRatios.push_back(ratio);
            floodRates.push_back(floodRate);
            failedBeside += failed;
        }
        if (failures + failedBeside > 0) printClosedReasons(kestod.log());
        bool met = reportMedianTarget("kestod phones answers/s vs nginx (ratio)", rateRatios,
                                      Goal::AtLeast, 0.8);
        met &=
            reportMedianTarget("kestod phones p99 vs nginx (ratio)", p99Ratios, Goal::AtMost, 1.5);
        met &= reportMedianTarget("kestod phones beside 1,000 bad certificates/s vs without",
                                  besideRatios, Goal::AtLeast, 0.9);
        met &= reportMedianTarget("bad certificates answered a second beside the phones",
                                  floodRates, Goal::AtLeast, 0.9 * kBadPerSecond);
        met &= reportTarget("kestod phones failed", static_cast<double>(failures), Goal::AtMost, 0);
        met &= reportTarget("kestod phones failed beside the flood",
                            static_cast<double>(failedBeside), Goal::AtMost, 0);
        fs::remove_all(dir);
        return met ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_phones: %s\n", error.what());
        return 1;
    }
}
