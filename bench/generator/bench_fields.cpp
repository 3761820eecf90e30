// Generation with template fields: 100,000 rows of 40 fields each (the six account columns
// B to G, 20 element paths, 14 placeholders) against the Python peer in
// bench/generator/peer_fields.py (lxml: the template parsed once, per row the 40 values set and
// the file written), in the same run, in the same folder. Prints both times and the ratio,
// and beside them the time the files alone take (as many files of the same size written and
// digested by the run's writers, with no sheet and no template): the floor under the ratio.
//
// VELQUOR_BENCH_ROWS changes the row count; VELQUOR_BENCH_DIR the folder to work in (default
// /dev/shm, as bench_generator explains).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "bench_folder.h"
#include "bench_target.h"
#include "crypto/aes.h"
#include "generator/run/device_writers.h"
#include "generator/run/generation_job.h"
#include "support/atomic_file.h"
#include "support/progress.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using velquor::testing::shellQuote;

constexpr int kLines = 10;         // two path fields each: UserID and Label
constexpr int kPlaceholders = 14;  // P21 to P34
constexpr int kFirstPlaceholder = 21;

int rowCount() {
    const char* text = std::getenv("VELQUOR_BENCH_ROWS");
    return text != nullptr ? std::max(1, std::atoi(text)) : 100000;
}

std::string makeTemplate() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Config>\n";
    xml += "  <Ext1 Enable=\"Disable\">\n    <SIPSettings><SIPPort>5060</SIPPort></SIPSettings>\n";
    xml += "    <ProxyandRegistration><Proxy>p</Proxy></ProxyandRegistration>\n";
    xml +=
        "    <SubscriberInformation><DisplayName/><UserID/><AuthID/><Password/>"
        "</SubscriberInformation>\n  </Ext1>\n  <Lines>\n";
    for (int line = 1; line <= kLines; ++line) {
        const std::string name = "Line" + std::to_string(line);
        xml += "    <" + name + "><UserID/><Label/><Port>5060</Port><Codec>G.722</Codec></" + name +
               ">\n";
    }
    xml += "  </Lines>\n  <Settings>\n";
    for (int i = kFirstPlaceholder; i < kFirstPlaceholder + kPlaceholders; ++i) {
        const std::string name = "P" + std::to_string(i);
        xml += "    <" + name + ">{{" + name + "}}</" + name + ">\n";
    }
    for (int i = 0; i < 40; ++i) {
        xml += "    <Setting name=\"option" + std::to_string(i) + "\">value " + std::to_string(i) +
               "</Setting>\n";
    }
    return xml + "  </Settings>\n</Config>\n";
}

std::string makeSheet(int rows) {
    std::string csv = "MAC,Name,User,Auth,Password,Proxy,Port";
    for (int line = 1; line <= kLines; ++line) {
        csv += ",Lines/Line" + std::to_string(line) + "/UserID";
        csv += ",Lines/Line" + std::to_string(line) + "/Label";
    }
    for (int i = kFirstPlaceholder; i < kFirstPlaceholder + kPlaceholders; ++i) {
        csv += ",P" + std::to_string(i);
    }
    csv += '\n';
    char mac[16];
    for (int row = 0; row < rows; ++row) {
        const std::string n = std::to_string(row);
        std::snprintf(mac, sizeof mac, "%012llX", 0x001122000000ULL + row);
        csv += std::string(mac) + ",Desk " + n + "," + std::to_string(2000 + row) + "," +
               std::to_string(2000 + row) + ",pw&" + n + ",proxy.example.lan,5060";
        for (int line = 1; line <= kLines; ++line) {
            csv +=
                ",3" + std::to_string(line) + n + ",Line " + std::to_string(line) + " <" + n + ">";
        }
        for (int i = kFirstPlaceholder; i < kFirstPlaceholder + kPlaceholders; ++i) {
            csv += ",v" + std::to_string(i) + "-" + n;
        }
        csv += '\n';
    }
    return csv;
}

struct Spent {
    double wall = 0;
    double cpu = 0;  // user and system time, of this process or of its children
};

// The machine may be shared: the processor time tells the work apart from the waiting.
template <typename Work>
Spent spentOn(int who, Work work) {
    const double cpu = velquor::bench::processorSeconds(who);
    const auto start = std::chrono::steady_clock::now();
    work();
    return Spent{std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                 velquor::bench::processorSeconds(who) - cpu};
}

// Generates the sheet at sheetPath into out.
void generate(const fs::path& templatePath, const fs::path& sheetPath, const fs::path& out) {
    velquor::generator::GenerationRequest request;
    request.templatePath = templatePath.string();
    request.sheetPath = sheetPath.string();
    request.outputFolder = out.string();
    velquor::support::NullProgress progress;
    auto report = velquor::generator::runGeneration(request, progress, {});
    if (!report || !report->allWritten()) throw std::runtime_error("the generation failed");
}

// The floor under any generator: as many files of sample's size as the run makes, written and
// digested by the run's own writers, with no sheet and no template.
void writeFilesAlone(const fs::path& out, const std::string& sample, int rows) {
    fs::create_directories(out);
    velquor::crypto::CAes aes;
    const velquor::support::OutputFolder folder(out);
    velquor::generator::DeviceWriters writers(folder, nullptr, aes);
    for (int row = 0; row < rows; ++row) {
        writers.submit({static_cast<std::size_t>(row), sample, std::to_string(row) + ".xml"});
    }
    for (const auto& files : writers.finish()) {
        if (!files.plain) throw std::runtime_error(files.plain.error().message);
    }
    if (!velquor::support::syncFileSystemOf(out)) throw std::runtime_error("sync failed");
}

}  // namespace

int main() {
    const fs::path root = velquor::bench::makeBenchFolder("velquor-fields-bench");
    const fs::path templatePath = root / "template.xml";
    const fs::path sheetPath = root / "devices.csv";
    const fs::path out = root / "out";
    const int rows = rowCount();
    velquor::testing::writeFile(templatePath, makeTemplate());
    // One file of the run, whose size the files alone take.
    velquor::testing::writeFile(root / "one.csv", makeSheet(1));
    generate(templatePath, root / "one.csv", root / "one");
    const std::string sample = velquor::testing::readFile(root / "one" / "001122000000.xml");
    velquor::testing::writeFile(sheetPath, makeSheet(rows));

    // The files alone go first: the memory a folder of files takes is then used once before
    // either contestant, which both find it as the other left it.
    const Spent floor = spentOn(RUSAGE_SELF, [&] { writeFilesAlone(out, sample, rows); });
    fs::remove_all(out);
    const Spent velquor = spentOn(RUSAGE_SELF, [&] { generate(templatePath, sheetPath, out); });
    const std::size_t written = static_cast<std::size_t>(
        std::distance(fs::directory_iterator(out), fs::directory_iterator{}));
    fs::remove_all(out);
    const std::string peer = "/usr/bin/python3 " +
                             shellQuote(VELQUOR_SOURCE_DIR "/bench/generator/peer_fields.py") +
                             " " + shellQuote(templatePath.string()) + " " +
                             shellQuote(sheetPath.string()) + " " + shellQuote(out.string());
    const Spent python = spentOn(RUSAGE_CHILDREN, [&] {
        if (std::system(peer.c_str()) != 0) throw std::runtime_error("failed: " + peer);
    });
    fs::remove_all(root);

    std::printf("%d rows x 40 fields (%zu files with MD5SUMS), in %s:\n", rows, written,
                root.parent_path().c_str());
    std::printf("  velquor generate   %8.3f s  (%.0f rows/s; processor %.3f s)\n", velquor.wall,
                rows / velquor.wall, velquor.cpu);
    std::printf("  python lxml peer   %8.3f s  (%.0f rows/s; processor %.3f s)\n", python.wall,
                rows / python.wall, python.cpu);
    std::printf("  the files alone    %8.3f s  (%.0f files/s; processor %.3f s)\n", floor.wall,
                rows / floor.wall, floor.cpu);
    std::printf("Velquor / peer: %.2fx the time, %.2fx the processor time (target <= 0.3x)\n",
                velquor.wall / python.wall, velquor.cpu / python.cpu);
    std::printf("The files alone / peer: %.2fx the time (no generator can do better)\n",
                floor.wall / python.wall);
    return velquor::bench::reportTarget("generate 40 fields / lxml peer (time)",
                                        velquor.wall / python.wall, velquor::bench::Goal::AtMost,
                                        0.3)
               ? 0
               : 1;
}
