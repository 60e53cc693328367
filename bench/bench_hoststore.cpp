// Host round trips: StoreNewMsg of ~3 KB records into a real edhost (parameter block, command,
// the host appending to its message base, reply), GetMsgFlags (command and reply only), and
// beside them the floor: a bare post/reply round trip to an echo thread in this process.
#include "BenchTools.h"
#include "host/EchodeskAPI.h"
#include "platform/Session.h"
#include "platform/ThreadMessages.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace pb;
using Clock = std::chrono::steady_clock;

namespace {

using bench::median;

double usPer(Clock::time_point start, int n) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / n;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? std::atoi(argv[1]) : 10000;
    std::string edhost = std::filesystem::path(argv[0]).parent_path() / "edhost";
    std::string session = "bench-" + std::to_string(::getpid());
    ::setenv("EDAPI_SESSION", session.c_str(), 1);
    char tmpl[] = "/tmp/pb-bench-XXXXXX";
    std::string base = std::string(::mkdtemp(tmpl)) + "/base";

    std::vector<std::string> args{edhost, "serve", "--base", base};
    std::vector<char*> av;
    for (auto& a : args)
        av.push_back(a.data());
    av.push_back(nullptr);
    pid_t host = -1;
    if (posix_spawn(&host, av[0], nullptr, nullptr, av.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", edhost.c_str());
        return 1;
    }
    TEchodeskAPI api;
    for (int i = 0; i < 100 && !api.Connected(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        api.Connect();
    }
    if (!api.Connected()) {
        std::fprintf(stderr, "cannot attach to edhost\n");
        ::kill(host, SIGKILL);
        return 1;
    }
    api.CreateArea("EMAIL", "Fidonet", 9);
    api.OpenArea("EMAIL");

    std::string text;
    while (text.size() < 3000)
        text += "Eine Zeile Text, wie sie in einer Mail steht, mit Umlauten \xE4\xF6\xFC.\r\n";
    TNewMsg rec(text);
    rec.Header().ToUserName.assign("Empf\xE4nger");
    rec.Header().FromUserName.assign("Absender");
    rec.Header().Subject.assign("Betreff");
    rec.Header().Flags = 0x2014;

    // The floor: post and wait for the reply of a thread that answers at once.
    std::atomic<bool> stop{false};
    std::atomic<std::uint32_t> echoTid{0};
    std::thread echo([&] {
        ensureMessageQueue();
        echoTid = currentThreadId();
        tagMSG m;
        MessageOrigin from;
        while (!stop)
            if (waitMessage(m, 0, 0xFFFFFFFF, 100, false, &from) == WaitResult::Message)
                postThreadMessage(from.tid, edapi::Reply, 0, 0, from.seq);
    });
    while (!echoTid)
        std::this_thread::yield();

    // The host's memory as its base grows: it must not keep what it stored.
    long total = 0;
    std::vector<std::pair<long, long>> rss;
    std::vector<double> store, flags, floor, hostCpu;
    for (int round = 0; round < 3; ++round) {
        const double cpu0 = bench::processCpuSeconds(host);
        auto t = Clock::now();
        for (int i = 0; i < n; ++i) {
            api.StoreNewMsg(rec);
            if (++total == 2000 || total == 20000)
                rss.emplace_back(total, bench::memoryKiB("VmRSS:", std::to_string(host)));
        }
        store.push_back(usPer(t, n));
        hostCpu.push_back((bench::processCpuSeconds(host) - cpu0) * 1e6 / n);
        t = Clock::now();
        for (int i = 0; i < n; ++i)
            api.GetMsgFlags(1);
        flags.push_back(usPer(t, n));
        t = Clock::now();
        // As PostAndWait does it, but answered from this process (which the component would
        // not take as the host's word): a fresh sequence number out, its echo back.
        for (int i = 0; i < n; ++i) {
            const std::uint32_t seq = nextSequence();
            postThreadMessage(echoTid, 1500, 0, 0, seq);
            tagMSG m;
            MessageOrigin from;
            while (waitMessage(m, edapi::Reply, edapi::Reply, 1000, false, &from) == WaitResult::Message &&
                   from.seq != seq) {
            }
        }
        floor.push_back(usPer(t, n));
    }
    stop = true;
    echo.join();
    api.CloseArea();
    api.Disconnect();
    ::kill(host, SIGTERM);
    ::waitpid(host, nullptr, 0);
    std::filesystem::remove_all(std::filesystem::path(base).parent_path());

    std::printf("%d calls per round, median of 3 rounds (%zu-byte records)\n", n, rec.size());
    std::printf("StoreNewMsg into edhost:        %7.1f us per call\n", median(store));
    std::printf("GetMsgFlags from edhost:        %7.1f us per call\n", median(flags));
    std::printf("post/reply floor (echo thread): %7.1f us per call\n", median(floor));
    std::printf("StoreNewMsg / floor:            %7.1f x\n", median(store) / median(floor));
    std::printf("edhost CPU per StoreNewMsg:     %7.1f us\n", median(hostCpu));
    for (const auto& [stored, kib] : rss)
        std::printf("edhost resident after %6ld:   %7.1f MB\n", stored, static_cast<double>(kib) / 1024);
    return 0;
}
