// Bulk generation speed: 10,000 devices of a 7-column sheet with a 20 KB template, against
// (1) a raw-write baseline that writes the very same bytes to the same files through a
// temporary name and a rename, plain and with encrypted copies, digesting each file as its
// folder's MD5SUMS list needs (the list is part of the folder, and on a memory file system
// digesting the bytes costs about as much as writing them), in one plain loop on one thread,
// while the run spreads its writing over its worker threads, and (2) the Python peer
// (openpyxl + lxml) in bench/generator/peer_generate.py, in three of the rounds. Prints the figures
// and the ratios: to the baseline, the median of five rounds, each round's ratio taken against the
// baseline run just before it (and the same in processor time, for a machine busy with other work).
//
// VELQUOR_BENCH_DEVICES changes the device count; VELQUOR_BENCH_DIR the folder to work in.
// The default folder is /dev/shm: on a disk mounted with online discard, deleting the
// 20,000 files between runs takes minutes, and what is compared is the work around the
// file writes, which a memory file system shows without the disk's noise.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_folder.h"
#include "bench_target.h"
#include "generator/outputs/check_sums.h"
#include "generator/run/generation_job.h"
#include "phone_template.h"
#include "support/atomic_file.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kKey = "bench-key-16byte";

int deviceCount() {
    const char* text = std::getenv("VELQUOR_BENCH_DEVICES");
    return text != nullptr ? std::max(1, std::atoi(text)) : 10000;
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Workspace {
    fs::path root;
    fs::path templatePath;
    fs::path sheetPath;
    fs::path out;
    // What Velquor wrote, captured once, for the raw-write baseline to write again.
    std::vector<std::pair<fs::path, std::string>> plainFiles;
    std::vector<std::pair<fs::path, std::string>> encryptedFiles;
};

Workspace& workspace() {
    static Workspace space;
    return space;
}

void prepareWorkspace() {
    Workspace& space = workspace();
    space.root = velquor::bench::makeBenchFolder("velquor-bench");
    space.templatePath = space.root / "template.xml";
    space.sheetPath = space.root / "devices.xlsx";
    space.out = space.root / "out";
    writeText(space.templatePath, velquor::bench::makePhoneTemplate());
    const std::string script =
        "import sys, openpyxl\n"
        "wb = openpyxl.Workbook(write_only=True); ws = wb.create_sheet()\n"
        "ws.append(['MAC','Display name','User ID','Auth ID','Password','Proxy','SIP port'])\n"
        "for i in range(int(sys.argv[2])):\n"
        "    ws.append(['%012X' % (0x001122000000 + i), 'Desk %d' % i, str(2000 + i),\n"
        "               str(2000 + i), 'pw&%d' % i, 'proxy.example.lan', 5060])\n"
        "wb.save(sys.argv[1])\n";
    run("/usr/bin/python3 -c " + shellQuote(script) + " " + shellQuote(space.sheetPath.string()) +
        " " + std::to_string(deviceCount()));
}

void clearOutput() {
    fs::remove_all(workspace().out);
}

std::vector<std::pair<fs::path, std::string>> capture(const fs::path& folder) {
    std::vector<std::pair<fs::path, std::string>> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file()) files.emplace_back(entry.path(), readText(entry.path()));
    }
    return files;
}

std::map<std::string, std::vector<double>>& timings() {
    static std::map<std::string, std::vector<double>> measured;
    return measured;
}

// Processor time of each run (user and system, this process), by case.
std::map<std::string, std::vector<double>>& cpuTimings() {
    static std::map<std::string, std::vector<double>> measured;
    return measured;
}

template <typename Work>
void timed(benchmark::State& state, const std::string& name, Work work) {
    for (auto _ : state) {
        clearOutput();
        const auto start = Clock::now();
        const double cpuStart = velquor::bench::processorSeconds();
        work();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        cpuTimings()[name].push_back(velquor::bench::processorSeconds() - cpuStart);
        state.SetIterationTime(seconds);
        timings()[name].push_back(seconds);
    }
    state.counters["devices/s"] = benchmark::Counter(
        static_cast<double>(deviceCount()) * state.iterations(), benchmark::Counter::kIsRate);
}

void runVelquor(bool encrypt) {
    Workspace& space = workspace();
    velquor::generator::GenerationRequest request;
    request.templatePath = space.templatePath.string();
    request.sheetPath = space.sheetPath.string();
    request.outputFolder = space.out.string();
    request.encrypt = encrypt;
    request.keyText = kKey;
    velquor::support::NullProgress progress;
    auto report = velquor::generator::runGeneration(request, progress, {});
    if (!report || !report->allWritten()) throw std::runtime_error("the generation failed");
}

void writeRaw(const std::vector<std::pair<fs::path, std::string>>& files) {
    std::size_t digested = 0;
    for (const auto& [path, bytes] : files) {
        const auto data = std::as_bytes(std::span<const char>(bytes.data(), bytes.size()));
        auto status = velquor::support::writeFileAtomically(path, data,
                                                            velquor::support::Durability::Deferred);
        if (!status) throw std::runtime_error(status.error().message);
        if (path.filename() != velquor::generator::kCheckSumsFileName) {
            digested += velquor::generator::checkSumOf(data).size();
        }
    }
    if (digested != 32 * (files.size() - 1)) throw std::runtime_error("a digest went missing");
}

void runRaw(bool encrypted) {
    Workspace& space = workspace();
    fs::create_directories(space.out);
    if (encrypted) fs::create_directories(space.out / "en");
    writeRaw(space.plainFiles);
    if (encrypted) writeRaw(space.encryptedFiles);
    if (auto synced = velquor::support::syncFileSystemOf(space.out); !synced) {
        throw std::runtime_error(synced.error().message);
    }
}

void BM_VelquorPlain(benchmark::State& state) {
    timed(state, "velquor-plain", [] { runVelquor(false); });
}
void BM_RawWritePlain(benchmark::State& state) {
    timed(state, "raw-plain", [] { runRaw(false); });
}
void BM_VelquorEncrypted(benchmark::State& state) {
    timed(state, "velquor-encrypted", [] { runVelquor(true); });
}
void BM_RawWriteEncrypted(benchmark::State& state) {
    timed(state, "raw-encrypted", [] { runRaw(true); });
}
void BM_PythonPeerPlain(benchmark::State& state) {
    Workspace& space = workspace();
    const std::string command =
        "/usr/bin/python3 " + shellQuote(VELQUOR_SOURCE_DIR "/bench/generator/peer_generate.py") +
        " " + shellQuote(space.templatePath.string()) + " " + shellQuote(space.sheetPath.string()) +
        " " + shellQuote(space.out.string());
    timed(state, "python-plain", [&] { run(command); });
}

using velquor::bench::median;

// Run i of a case over run i of its baseline, which ran just before it.
std::vector<double> ratiosRunByRun(const std::vector<double>& cases,
                                   const std::vector<double>& baselines) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < std::min(cases.size(), baselines.size()); ++i)
        ratios.push_back(cases[i] / baselines[i]);
    return ratios;
}

bool printRatios() {
    auto& t = timings();
    auto fig = [&](const char* name) { return median(t.at(name)); };
    std::printf("\n%d devices, 20 KB template, in %s (median wall time of each case):\n",
                deviceCount(), workspace().root.parent_path().c_str());
    for (const auto& [name, values] : t) {
        std::printf("  %-18s %8.3f s  (%.0f devices/s)\n", name.c_str(), median(values),
                    deviceCount() / median(values));
    }
    std::printf("Python peer / Velquor, plain:    %.2fx faster  (target >= 2x)\n",
                fig("python-plain") / fig("velquor-plain"));
    using velquor::bench::Goal;
    using velquor::bench::reportMedianTarget;
    // Processor time beside it: both sides run on one thread of this process and write to
    // memory, so where the wall-time ratio moves with the machine's load this one shows the
    // work each side does.
    const auto& cpu = cpuTimings();
    std::printf("processor time / raw write, run by run: plain %.2fx, encrypted %.2fx\n",
                median(ratiosRunByRun(cpu.at("velquor-plain"), cpu.at("raw-plain"))),
                median(ratiosRunByRun(cpu.at("velquor-encrypted"), cpu.at("raw-encrypted"))));
    bool met = reportMedianTarget("generate plain / raw write (time)",
                                  ratiosRunByRun(t.at("velquor-plain"), t.at("raw-plain")),
                                  Goal::AtMost, 1.3);
    met = reportMedianTarget("generate encrypted / raw write (time)",
                             ratiosRunByRun(t.at("velquor-encrypted"), t.at("raw-encrypted")),
                             Goal::AtMost, 1.3) &&
          met;
    return reportMedianTarget("Python peer / generate plain (time)",
                              ratiosRunByRun(t.at("python-plain"), t.at("velquor-plain")),
                              Goal::AtLeast, 2.0) &&
           met;
}

}  // namespace

int main(int argc, char** argv) {
    prepareWorkspace();
    // The baseline needs the exact bytes Velquor writes: one untimed run of each kind.
    runVelquor(true);
    workspace().plainFiles = capture(workspace().out);
    workspace().encryptedFiles = capture(workspace().out / "en");
    clearOutput();

    // Each case right after its baseline, round after round: a ratio is taken within a round,
    // so a machine that gets busier between rounds moves both sides of it alike.
    // The Python peer, much the slowest, runs in the first three rounds only, right after the
    // plain run it is compared with.
    constexpr int kRounds = 5;
    constexpr int kPeerRounds = 3;
    using Case = std::pair<const char*, void (*)(benchmark::State&)>;
    auto add = [](Case one) {
        benchmark::RegisterBenchmark(one.first, one.second)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    };
    for (int round = 0; round < kRounds; ++round) {
        add({"RawWrite/plain", BM_RawWritePlain});
        add({"Velquor/plain", BM_VelquorPlain});
        if (round < kPeerRounds) add({"PythonPeer/plain", BM_PythonPeerPlain});
        add({"RawWrite/encrypted", BM_RawWriteEncrypted});
        add({"Velquor/encrypted", BM_VelquorEncrypted});
    }

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const bool met = timings().size() == 5 && printRatios();
    fs::remove_all(workspace().root);
    return met ? 0 : 1;
}
