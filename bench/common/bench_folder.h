// Where a generator benchmark writes: VELQUOR_BENCH_DIR when set, else /dev/shm (so that the
// disk's own speed does not swamp what is measured), else the temporary folder; one new folder
// there per run, named after the benchmark.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace velquor::bench {

inline std::filesystem::path makeBenchFolder(const std::string& name) {
    namespace fs = std::filesystem;
    const char* base = std::getenv("VELQUOR_BENCH_DIR");
    std::error_code error;
    const fs::path folder = base != nullptr                       ? fs::path(base)
                            : fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm")
                                                                  : fs::temp_directory_path();
    std::string pattern = (folder / (name + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

}  // namespace velquor::bench
