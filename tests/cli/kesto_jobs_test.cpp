// velquor-cli kesto device add --jobs N, run as a user runs it, against a device port that
// serves every connection at once and counts the device records it holds: --jobs 1 never has
// two there together, --jobs 4 has several but never more than four. The phone's-eye check's
// default fetches in flight is the figure its help, its manual and the README name.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "child_process.h"
#include "concurrent_tls_server.h"
#include "phonecheck/phone_check.h"
#include "scripted_tls_server.h"
#include "temp_dir.h"
#include "test_certificates.h"
#include "wire/wire_records.h"

namespace velquor::testing {
namespace {

using namespace std::chrono_literals;
using provisioning::testing::ClosedPort;
using provisioning::testing::ConcurrentTlsServer;
using provisioning::testing::ConnectionScript;
using provisioning::testing::ConnectionStep;
using provisioning::testing::ScriptedTlsServer;
using provisioning::testing::TestCertificates;

constexpr int kMacCount = 8;

class KestoJobsTest : public ::testing::Test {
protected:
    KestoJobsTest() {
        std::string macs;
        for (int i = 0; i < kMacCount; ++i) {
            char line[32];
            std::snprintf(line, sizeof line, "02:00:00:00:17:%02x\n", i);
            macs += line;
        }
        writeFile(dir / "macs.csv", macs);
        writeFile(dir / "password", "pw\n");
    }

    // Logs in on a server that accepts any login, then adds the file's MACs through devices.
    ProgramRun addDevices(const ConcurrentTlsServer& devices, const std::string& jobs) {
        const std::string ports = std::to_string(login.port()) + "," +
                                  std::to_string(closed.port()) + "," +
                                  std::to_string(devices.port());
        // Settings files of the person running the tests stay out of it.
        const std::string environment =
            "env HOME=" + shellQuote((dir / "home").string()) +
            " XDG_CONFIG_HOME=" + shellQuote((dir / "config").string()) + " ";
        ProgramRun run;
        run.output = runCommand(
            environment + shellQuote(VELQUOR_CLI_BINARY) + " kesto --address 127.0.0.1 --ports " +
                ports + " --cafile " + shellQuote(certificates.caFile().string()) +
                " --user frank --password-file " + shellQuote((dir / "password").string()) +
                " device add " + shellQuote((dir / "macs.csv").string()) +
                " --server-field sip.example --replace none --jobs " + jobs + " 2>&1 </dev/null",
            &run.status);
        return run;
    }

    TempDir dir;
    TestCertificates certificates;
    ScriptedTlsServer login{certificates.server().certificate, certificates.server().key,
                            wire::kLoginRequestSize};
    ClosedPort closed;
};

// The device port holds every record until one more than --jobs allows is in hand (or, when
// that never happens, a while after the first): a run that sent more at once is caught.
TEST_F(KestoJobsTest, JobsIsTheMostDeviceRecordsAtTheServerAtOnce) {
    for (const std::size_t jobs : {1u, 4u}) {
        SCOPED_TRACE("--jobs " + std::to_string(jobs));
        ConcurrentTlsServer devices(certificates.server(), wire::kDeviceRequestSize, [](int) {
            return ConnectionScript{ConnectionStep::HoldThenReply};
        });
        devices.openGateWhenHolding(jobs + 1, 2s);
        const ProgramRun run = addDevices(devices, std::to_string(jobs));
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(devices.records().size(), static_cast<std::size_t>(kMacCount)) << run.output;
        EXPECT_LE(devices.mostHeldAtOnce(), jobs);
        if (jobs > 1) {
            EXPECT_GT(devices.mostHeldAtOnce(), 1u) << "the count proves nothing";
        }
    }
}

TEST(KestoCheckJobs, TheDefaultFetchesInFlightIsTheFigureTheTextsName) {
    const std::string figure = std::to_string(phonecheck::kDefaultFetchesInFlight);
    const ProgramRun help = runProgram(VELQUOR_CLI_BINARY, "kesto --help");
    EXPECT_NE(help.output.find("--jobs bounds the fetches in flight (default " + figure + ")"),
              std::string::npos);
    const std::string manual = readFile(VELQUOR_SOURCE_DIR "/resources/man/velquor-cli.1.scd");
    EXPECT_NE(manual.find("the fetches in flight (default " + figure + ")"), std::string::npos);
    const std::string readme = readFile(VELQUOR_SOURCE_DIR "/README.md");
    EXPECT_NE(readme.find("`--jobs` of them, " + figure + " by default"), std::string::npos);
}

}  // namespace
}  // namespace velquor::testing
