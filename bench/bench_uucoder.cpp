// Base64 throughput of the attachment coder, file to file as the mail components use it:
// encode a stream of pseudo-random bytes, decode the result, check the round trip, and report
// MB/s (10^6 bytes of raw data per second, both ways) and the process's peak memory.
//
// Each size runs in a child process of its own, so that the peak memory of one size is not
// hidden by another: the figure must stay flat as the size grows.
//
//   bench_uucoder [MiB ...]      default: 8 64
//   Files go to $TMPDIR (default /tmp) and are removed afterwards.
#include "net/UUCoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

void writeData(const std::string& name, std::size_t bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(1 << 20);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::size_t done = 0; done < bytes; done += chunk.size()) {
        for (char& c : chunk) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            c = static_cast<char>(x);
        }
        out.write(chunk.data(), static_cast<std::streamsize>(std::min(chunk.size(), bytes - done)));
    }
}

bool sameFiles(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (;;) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() || std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(fa.gcount())))
            return false;
        if (!fa || !fb)
            return !fa && !fb;
    }
}

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

int runSize(std::size_t mib) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/pb_bench_uucoder_" + std::to_string(::getpid());
    const std::string raw = base + ".raw", enc = base + ".b64", dec = base + ".dec";
    const std::size_t bytes = mib << 20;
    writeData(raw, bytes);

    constexpr int kRounds = 3;
    std::vector<double> encodeTimes, decodeTimes;
    bool ok = true;
    for (int round = 0; round < kRounds && ok; ++round) {
        pb::TUUProcessor coder;
        {
            std::ifstream in(raw, std::ios::binary);
            std::ofstream out(enc, std::ios::binary | std::ios::trunc);
            coder.SourceStream = &in;
            coder.TargetStream = &out;
            auto t = Clock::now();
            coder.Encode();
            out.flush();
            encodeTimes.push_back(seconds(t));
        }
        {
            std::ifstream in(enc, std::ios::binary);
            std::ofstream out(dec, std::ios::binary | std::ios::trunc);
            coder.SourceStream = &in;
            coder.TargetStream = &out;
            auto t = Clock::now();
            coder.Decode();
            out.flush();
            decodeTimes.push_back(seconds(t));
        }
        ok = sameFiles(raw, dec);
    }
    std::remove(raw.c_str());
    std::remove(enc.c_str());
    std::remove(dec.c_str());
    if (!ok) {
        std::printf("%4zu MiB  ROUND TRIP FAILED\n", mib);
        return 1;
    }
    std::sort(encodeTimes.begin(), encodeTimes.end());
    std::sort(decodeTimes.begin(), decodeTimes.end());
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("%4zu MiB  encode %7.0f MB/s  decode %7.0f MB/s  (median of %d)  peak RSS %6.1f MiB\n", mib,
                mb / encodeTimes[kRounds / 2], mb / decodeTimes[kRounds / 2], kRounds, ru.ru_maxrss / 1024.0);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::strtoul(argv[i], nullptr, 10));
    if (sizes.empty())
        sizes = {8, 64};
    std::printf("Base64 file to file (MB = 10^6 bytes of raw data)\n");
    std::fflush(stdout);
    int failed = 0;
    for (std::size_t mib : sizes) {
        pid_t child = ::fork();
        if (child == 0) {
            int rc = runSize(mib);
            std::fflush(stdout);
            std::_Exit(rc);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        failed |= !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    return failed;
}
