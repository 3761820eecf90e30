// What checking every MAC address costs before a Generate: the check of a 100,000-row sheet's
// MAC column against the whole Generate of that sheet (sheet read, check, 100,000 files of a
// 20 KB template written). The check alone is held to at most 5 % of Generate's time; the
// check with a sheet read of its own (what the window's question and --check do before a run)
// is printed beside it.
//
// VELQUOR_BENCH_DEVICES changes the row count; VELQUOR_BENCH_DIR the folder to work in
// (default /dev/shm, so that the file system's noise does not drown the figures).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_folder.h"
#include "bench_target.h"
#include "generator/devices/device_macs.h"
#include "generator/devices/device_table.h"
#include "generator/run/generation_job.h"
#include "phone_template.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int rowCount() {
    const char* text = std::getenv("VELQUOR_BENCH_DEVICES");
    return text != nullptr ? std::max(1, std::atoi(text)) : 100000;
}

// The MACs written as technicians write them: colons, dashes, dots, bare digits, both cases.
std::string spelledMac(int i) {
    const unsigned long long value = 0x001122000000ULL + static_cast<unsigned>(i);
    char digits[16];
    std::snprintf(digits, sizeof digits, i % 2 == 0 ? "%012llX" : "%012llx", value);
    const std::string d(digits);
    switch (i % 4) {
        case 0:
            return d.substr(0, 2) + ":" + d.substr(2, 2) + ":" + d.substr(4, 2) + ":" +
                   d.substr(6, 2) + ":" + d.substr(8, 2) + ":" + d.substr(10, 2);
        case 1:
            return d.substr(0, 2) + "-" + d.substr(2, 2) + "-" + d.substr(4, 2) + "-" +
                   d.substr(6, 2) + "-" + d.substr(8, 2) + "-" + d.substr(10, 2);
        case 2:
            return d.substr(0, 4) + "." + d.substr(4, 4) + "." + d.substr(8, 4);
        default:
            return d + " ";
    }
}

void writeSheet(const fs::path& path, int rows) {
    std::ofstream out(path, std::ios::binary);
    out << "MAC,Display name,User ID,Auth ID,Password,Proxy,SIP port\r\n";
    for (int i = 0; i < rows; ++i) {
        out << spelledMac(i) << ",Desk " << i << ',' << 2000 + i << ',' << 2000 + i << ",pw" << i
            << ",proxy.example.lan,5060\r\n";
    }
}

double seconds(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    const fs::path root = velquor::bench::makeBenchFolder("velquor-mac-bench");
    velquor::generator::GenerationRequest request;
    request.templatePath = (root / "template.xml").string();
    request.sheetPath = (root / "devices.csv").string();
    request.outputFolder = (root / "out").string();
    std::ofstream(request.templatePath) << velquor::bench::makePhoneTemplate();
    writeSheet(request.sheetPath, rowCount());

    auto table = velquor::generator::readDeviceTable(request.sheetPath);
    if (!table) throw std::runtime_error(table.error().message);
    std::vector<double> check;
    std::vector<double> checkWithRead;
    std::vector<double> generate;
    std::size_t usable = 0;
    for (int i = 0; i < 5; ++i) {
        check.push_back(seconds([&] {
            usable = velquor::generator::checkDeviceMacs(*table, velquor::mac::Form::Plain, {})
                         .check.usable();
        }));
        checkWithRead.push_back(seconds([&] {
            if (!velquor::generator::checkDeviceSheet(request)) throw std::runtime_error("check");
        }));
    }
    if (usable != static_cast<std::size_t>(rowCount())) throw std::runtime_error("rows refused");
    for (int i = 0; i < 2; ++i) {
        fs::remove_all(root / "out");
        generate.push_back(seconds([&] {
            velquor::support::NullProgress progress;
            auto report = velquor::generator::runGeneration(request, progress);
            if (!report || !report->allWritten()) throw std::runtime_error("generate failed");
        }));
    }
    fs::remove_all(root);

    const double checkTime = median(check);
    const double readAndCheck = median(checkWithRead);
    const double generateTime = median(generate);
    std::printf("%d rows, 20 KB template, in %s (median wall times):\n", rowCount(),
                root.parent_path().c_str());
    std::printf("  MAC check of the read sheet   %8.3f s\n", checkTime);
    std::printf("  sheet read + MAC check        %8.3f s\n", readAndCheck);
    std::printf("  generate (read, check, write) %8.3f s\n", generateTime);
    std::printf("MAC check / generate:               %5.2f %%  (target <= 5 %%)\n",
                100.0 * checkTime / generateTime);
    std::printf("sheet read + MAC check / generate:  %5.2f %%\n",
                100.0 * readAndCheck / generateTime);
    using velquor::bench::Goal;
    using velquor::bench::reportTarget;
    return reportTarget("MAC check / generate, " + std::to_string(rowCount()) + " rows (time)",
                        checkTime / generateTime, Goal::AtMost, 0.05)
               ? 0
               : 1;
}
