// Base64 throughput of the attachment coder, reported as MB/s (10^6 bytes of raw data per
// second) both ways, in two settings:
//  - coder alone: a generated source stream and a sink that discards, so only the coder counts;
//  - file to file, as the mail components use it, with a check of the round trip.
// and the process's peak memory.
//
// Each size runs in a child process of its own, so that the peak memory of one size is not
// hidden by another: the figure must stay flat as the size grows.
//
//   bench_uucoder [MiB ...]      default: 8 64
//   Files go to $TMPDIR (default /tmp) and are removed afterwards.
#include "BenchTools.h"
#include "mime/UUCoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using bench::median;

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

// A stream of Length bytes that repeats Pattern, generated as it is read.
class RepeatingSource : public std::streambuf {
public:
    RepeatingSource(std::string pattern, std::size_t length) : pattern_(std::move(pattern)), length_(length) {}

protected:
    int_type underflow() override {
        if (served_ >= length_)
            return traits_type::eof();
        std::size_t n = std::min(pattern_.size(), length_ - served_);
        served_ += n;
        setg(pattern_.data(), pattern_.data(), pattern_.data() + n);
        return traits_type::to_int_type(pattern_[0]);
    }
    pos_type seekpos(pos_type pos, std::ios::openmode) override {
        if (pos != pos_type(0))
            return pos_type(off_type(-1));
        served_ = 0;
        setg(nullptr, nullptr, nullptr);
        return pos;
    }
    pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode which) override {
        if (dir == std::ios::cur && off == 0)   // tellg
            return pos_type(off_type(served_ - static_cast<std::size_t>(egptr() - gptr())));
        return dir == std::ios::beg ? seekpos(pos_type(off), which) : pos_type(off_type(-1));
    }

private:
    std::string pattern_;
    std::size_t length_;
    std::size_t served_ = 0;
};

// Discards everything written to it.
class DiscardingSink : public std::streambuf {
protected:
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    pos_type seekpos(pos_type, std::ios::openmode) override { return pos_type(0); }
};

// Wall-clock and processor time (user and system) of one phase. On a busy machine the processor
// time shows what the work itself costs.
struct Timer {
    Clock::time_point wall = Clock::now();
    std::clock_t cpu = std::clock();
};
struct Times {
    std::vector<double> wall, cpu;
    void add(const Timer& t) {
        wall.push_back(std::chrono::duration<double>(Clock::now() - t.wall).count());
        cpu.push_back(static_cast<double>(std::clock() - t.cpu) / CLOCKS_PER_SEC);
    }
};

std::string randomBytes(std::size_t n) {
    std::string s(n, '\0');
    std::uint64_t x = 0x2545F4914F6CDD1Dull;
    for (char& c : s) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        c = static_cast<char>(x);
    }
    return s;
}

std::string rate(double mb, const Times& t) {
    char out[64];
    std::snprintf(out, sizeof out, "%5.0f MB/s (cpu %5.0f)", mb / median(t.wall), mb / median(t.cpu));
    return out;
}

int runSize(std::size_t mib) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/pb_bench_uucoder_" + std::to_string(::getpid());
    const std::string raw = base + ".raw", enc = base + ".b64", dec = base + ".dec";
    const std::size_t bytes = mib << 20;
    writeData(raw, bytes);

    constexpr int kRounds = 3;
    const double mb = static_cast<double>(bytes) / 1e6;

    // Coder alone. One MiB of data is 23302 whole lines of 45 bytes; its Base64 form repeats.
    {
        const std::string block = randomBytes(45 * 23302);
        std::stringstream blockIn(block), blockOut;
        pb::TUUProcessor coder;
        coder.SourceStream = &blockIn;
        coder.TargetStream = &blockOut;
        coder.Encode();
        const std::string encodedBlock = blockOut.str();
        const std::size_t blocks = (bytes + block.size() - 1) / block.size();
        Times encodeTimes, decodeTimes;
        DiscardingSink sink;
        std::ostream discard(&sink);
        for (int round = 0; round < kRounds; ++round) {
            RepeatingSource raw(block, blocks * block.size());
            std::istream in(&raw);
            coder.SourceStream = &in;
            coder.TargetStream = &discard;
            Timer t;
            coder.Encode();
            encodeTimes.add(t);
            RepeatingSource text(encodedBlock, blocks * encodedBlock.size());
            std::istream encodedIn(&text);
            coder.SourceStream = &encodedIn;
            t = Timer();
            coder.Decode();
            decodeTimes.add(t);
        }
        const double data = static_cast<double>(blocks * block.size()) / 1e6;
        std::printf("%4zu MiB  coder alone   encode %s  decode %s\n", mib, rate(data, encodeTimes).c_str(),
                    rate(data, decodeTimes).c_str());
    }

    Times encodeTimes, decodeTimes;
    bool ok = true;
    for (int round = 0; round < kRounds && ok; ++round) {
        pb::TUUProcessor coder;
        {
            std::ifstream in(raw, std::ios::binary);
            std::ofstream out(enc, std::ios::binary | std::ios::trunc);
            coder.SourceStream = &in;
            coder.TargetStream = &out;
            Timer t;
            coder.Encode();
            out.flush();
            encodeTimes.add(t);
        }
        {
            std::ifstream in(enc, std::ios::binary);
            std::ofstream out(dec, std::ios::binary | std::ios::trunc);
            coder.SourceStream = &in;
            coder.TargetStream = &out;
            Timer t;
            coder.Decode();
            out.flush();
            decodeTimes.add(t);
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
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    std::printf("%4zu MiB  file to file  encode %s  decode %s  peak RSS %.1f MiB\n", mib,
                rate(mb, encodeTimes).c_str(), rate(mb, decodeTimes).c_str(), ru.ru_maxrss / 1024.0);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::strtoul(argv[i], nullptr, 10));
    if (sizes.empty())
        sizes = {8, 64};
    std::printf("Base64, MB = 10^6 bytes of raw data per second, median of 3 rounds\n");
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
