// Time from TCP connect to the end of the reply for a POST version query on
// loopback. The service pauses 100 ms after each connection; the benchmark
// waits that out between samples, outside the measured time.
//
// Run: build/bench/frontend_bench   (starts and stops its own service)

#include "service_process.h"

#include <benchmark/benchmark.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

ServiceProcess g_service;
SSL_CTX* g_ctx = nullptr;

const std::string kBody = "{\"interfacetype\":1,\"id\":\"bench\"}";

// One request on a fresh connection; returns the whole reply or "" on failure.
std::string Exchange(int port, const std::string& request)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return std::string();
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(g_ctx), &SSL_free);
        SSL_set_fd(ssl.get(), fd);
        SSL_set_tlsext_host_name(ssl.get(), "localhost");
        if (SSL_connect(ssl.get()) == 1 && SSL_write(ssl.get(), request.data(), static_cast<int>(request.size())) > 0) {
            char buf[4096];
            int n;
            while ((n = SSL_read(ssl.get(), buf, sizeof buf)) > 0) {
                reply.append(buf, static_cast<size_t>(n));
            }
        }
    }
    ERR_clear_error();
    close(fd);
    return reply;
}

double Percentile99(const std::vector<double>& v)
{
    if (v.empty()) {
        return 0;
    }
    std::vector<double> s(v);
    std::sort(s.begin(), s.end());
    const size_t rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(s.size())));
    return s[std::min(s.size(), std::max<size_t>(rank, 1)) - 1];
}

void BM_PostVersionQuery(benchmark::State& state)
{
    const std::string request =
        "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nContent-Length: " +
        std::to_string(kBody.size()) + "\r\n\r\n" + kBody;
    for (auto _ : state) {
        // Let the service finish its pause after the previous connection.
        std::this_thread::sleep_for(std::chrono::milliseconds(110));
        const auto start = std::chrono::steady_clock::now();
        const std::string reply = Exchange(g_service.port4, request);
        const auto end = std::chrono::steady_clock::now();
        if (reply.find("{\"code\":0,\"data\":\"1.0.0.2") == std::string::npos) {
            state.SkipWithError("wrong or missing reply");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    const char* path = std::getenv("VAULTLINE_SERVICE");
    if (!g_service.Start(path ? path : VAULTLINE_SERVICE_PATH)) {
        std::fprintf(stderr, "service did not start\n");
        return 1;
    }
    g_ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(g_ctx, VAULTLINE_ROOT_CA, nullptr);
    SSL_CTX_set_verify(g_ctx, SSL_VERIFY_PEER, nullptr);
    // Warm up: the first version query asks the system for its distribution.
    Exchange(g_service.port4, "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(kBody.size()) + "\r\n\r\n" + kBody);

    benchmark::RegisterBenchmark("PostVersionQuery/connect_to_reply_end", BM_PostVersionQuery)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(200)
        ->ComputeStatistics("p99", Percentile99)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    SSL_CTX_free(g_ctx);
    g_service.Stop();
    return 0;
}
