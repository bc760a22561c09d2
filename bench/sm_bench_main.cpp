// Entry point of sm_bench. Every SM benchmark is named <Op>/<impl>, impl one
// of vaultline, openssl, botan, and reports a rate: bytes per second for
// throughput, items per second for operations. After the usual console
// table, one line per Op measured for both vaultline and openssl:
//
//   ratio <Op> <vaultline rate / openssl rate, 2 decimals>
//
// for scripts to read. Where a benchmark runs repetitions the median is
// used, otherwise the single run.
//
// Run: build/bench/sm_bench   (about a minute)

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// A reporter handed to RunSpecifiedBenchmarks does not see the
// --benchmark_color flag: colour only when a terminal is watching, so that
// logs and scripts get plain lines.
benchmark::ConsoleReporter::OutputOptions consoleOptions()
{
    return isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                 : benchmark::ConsoleReporter::OO_Tabular;
}

class RatioReporter : public benchmark::BenchmarkReporter {
public:
    RatioReporter() : m_console(consoleOptions()) {}

    bool ReportContext(const Context& context) override { return m_console.ReportContext(context); }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            collect(run);
        }
        m_console.ReportRuns(runs);
    }

    void Finalize() override
    {
        m_console.Finalize();
        for (const auto& [op, byImpl] : m_rates) {
            const auto ours = byImpl.find("vaultline");
            const auto theirs = byImpl.find("openssl");
            if (ours != byImpl.end() && theirs != byImpl.end() && theirs->second.value > 0) {
                std::printf("ratio %s %.2f\n", op.c_str(), ours->second.value / theirs->second.value);
            }
        }
        std::fflush(stdout);
    }

private:
    struct Rate {
        double value = 0;
        bool fromMedian = false;
    };

    void collect(const Run& run)
    {
        if (run.error_occurred) {
            return;
        }
        const bool median = run.run_type == Run::RT_Aggregate;
        if (median && run.aggregate_name != "median") {
            return;
        }
        const std::string& name = run.run_name.function_name;
        const auto slash = name.rfind('/');
        if (slash == std::string::npos) {
            return;
        }
        double value = 0;
        for (const char* counter : {"bytes_per_second", "items_per_second"}) {
            const auto it = run.counters.find(counter);
            if (it != run.counters.end()) {
                value = it->second.value;
                break;
            }
        }
        if (value <= 0) {
            return;
        }
        Rate& rate = m_rates[name.substr(0, slash)][name.substr(slash + 1)];
        if (median || !rate.fromMedian) {
            rate.value = value;
            rate.fromMedian = median;
        }
    }

    benchmark::ConsoleReporter m_console;
    std::map<std::string, std::map<std::string, Rate>> m_rates;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
