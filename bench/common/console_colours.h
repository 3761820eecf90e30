// The console table of a benchmark that keeps its own reporter. Google Benchmark's
// --benchmark_color reaches only the reporter it makes itself, so a reporter of ours is told
// here: colours when the command line asks for them (scripts/run-bench does when its own
// output is a terminal), none when it says no, else only when standard output is a terminal,
// so that `make bench > file` and a pipe get plain text. Read before benchmark::Initialize,
// which takes the flag off the command line.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string_view>

inline benchmark::ConsoleReporter::OutputOptions consoleOptions(int argc, char** argv) {
    bool colours = ::isatty(STDOUT_FILENO) == 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--benchmark_color=true" || argument == "--benchmark_color=always")
            colours = true;
        if (argument == "--benchmark_color=false" || argument == "--benchmark_color=never")
            colours = false;
    }
    return colours ? benchmark::ConsoleReporter::OO_Defaults
                   : benchmark::ConsoleReporter::OO_Tabular;
}
