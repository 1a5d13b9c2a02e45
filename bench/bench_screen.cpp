// bench_screen.cpp: throughput of the output interpreter. Pushes 16 MiB through
// WriteTTYBlock in 80-byte blocks (the receive thread's block size), in text and in hex
// mode, against copying the same blocks into a 2400-byte ring, and prints the ratios.
#include "standin.h"
#include "velka.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kTotal = 16u << 20;
constexpr int kBlock = kReceiveBlockSize;
constexpr int kRepeats = 3;                          // each figure is the best of these runs
constexpr size_t kPushed = kTotal / kBlock * kBlock; // whole blocks only
// With recording on, records are dropped after each chunk of about 1 MiB (whole blocks).
constexpr size_t kChunk = ((1u << 20) / kBlock + 1) * kBlock;

using Clock = std::chrono::steady_clock;

// Printable bytes with CR LF after 50 to 70 of them, as a chatty board sends.
std::vector<char> TextData() {
    std::mt19937 rng(1);
    std::vector<char> v;
    v.reserve(kTotal);
    size_t nNext = 60;
    while (v.size() < kTotal) {
        if (--nNext == 0) {
            v.push_back('\r');
            if (v.size() < kTotal) v.push_back('\n');
            nNext = 50 + rng() % 21;
        } else {
            v.push_back(static_cast<char>(0x20 + rng() % 0x5F));
        }
    }
    return v;
}

// Seconds for one pass over the data; `between` runs untimed after each chunk.
double TimePass(const std::vector<char>& data, const std::function<void(const char*)>& block,
                const std::function<void()>& between) {
    double dSeconds = 0;
    for (size_t at = 0; at < data.size(); at += kChunk) {
        const size_t end = std::min(data.size(), at + kChunk);
        const auto t0 = Clock::now();
        for (size_t i = at; i + kBlock <= end; i += kBlock) // chunks hold whole blocks
            block(data.data() + i);
        dSeconds += std::chrono::duration<double>(Clock::now() - t0).count();
        if (between) between();
    }
    return dSeconds;
}

double Best(const std::function<double()>& pass) {
    double dBest = 1e30;
    for (int i = 0; i < kRepeats; ++i)
        dBest = std::min(dBest, pass());
    return dBest;
}

double MBs(double dSeconds) {
    return kPushed / dSeconds / 1e6;
}

void Report(const char* name, double dSeconds, double dCopy, const char* note) {
    std::printf("%-5s %9.1f MB/s  (%6.1f x slower than copy)  %s\n", name, MBs(dSeconds),
                dSeconds / dCopy, note);
}

} // namespace

int main() {
    // A private directory, so that no settings file changes the record's defaults.
    const std::filesystem::path old = std::filesystem::current_path();
    char tmpl[] = "/tmp/velka-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::filesystem::current_path(tmpl);
    standin::Reset();
    standin::SetDefaultClientSize(2000, 2000); // every cell is visible, as in the tests
    HINSTANCE hInst = reinterpret_cast<HINSTANCE>(0x400000);
    InitApplication(hInst);
    HWND hWnd = InitInstance(hInst, SW_SHOWNORMAL);
    hTTYWnd = hWnd;
    std::filesystem::current_path(old);
    std::filesystem::remove_all(tmpl);
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) {
        std::fprintf(stderr, "bench_screen: no main window\n");
        return 1;
    }

    const std::vector<char> data = TextData();

    // Baseline: the same blocks copied into a ring the size of the screen.
    static char ring[kScreenCells];
    size_t nRing = 0;
    const double dCopy = Best([&] {
        return TimePass(
            data,
            [&](const char* b) {
                std::memcpy(ring + nRing, b, kBlock);
                nRing = (nRing + kBlock) % kScreenCells;
                asm volatile("" : : "r"(ring) : "memory"); // the copy must happen
            },
            nullptr);
    });

    // Text: Auto Wrap on, New Line off (the data brings its own CR LF). Hex: both on,
    // so the hex cells wrap onto new rows.
    auto mode = [&](bool fHex) {
        ScreenLock lock(p);
        p->fHexPrint = fHex, p->fAutoWrap = TRUE, p->fNewLine = fHex;
        p->nRow = p->nColumn = 0;
    };
    auto write = [&](const char* b) { WriteTTYBlock(hWnd, b, kBlock); };
    long anCalls[2] = {0, 0};
    auto run = [&](bool fHex) {
        return Best([&] {
            mode(fHex);
            standin::ClearInvalidations();
            long nCalls = 0;
            const double d = TimePass(data, write, [&] {
                nCalls += standin::InvalidationCount();
                standin::ClearInvalidations();
            });
            anCalls[fHex] = nCalls;
            return d;
        });
    };

    std::printf("Velka screen benchmark: %zu MiB through WriteTTYBlock in %d-byte blocks, "
                "best of %d\n",
                kTotal >> 20, kBlock, kRepeats);
    std::printf("copy  %9.1f MB/s  (memcpy of the same blocks into a %d-byte ring)\n", MBs(dCopy),
                kScreenCells);

    standin::SetRecording(false); // the stand-in still counts and merges invalidations
    const double dText = run(false), dHex = run(true);
    Report("text", dText, dCopy, "stand-in recording off");
    Report("hex", dHex, dCopy, "stand-in recording off");

    standin::SetRecording(true); // as the unit tests run; records dropped after each chunk
    Report("text", run(false), dCopy, "stand-in recording on");
    Report("hex", run(true), dCopy, "stand-in recording on");
    standin::SetRecording(false);

    // What the stand-in's InvalidateRect alone costs for as many calls as each run made;
    // the real system's cost is not measured here.
    for (bool fHex : {false, true}) {
        RECT rc{0, 0, 8, 16};
        const long n = anCalls[fHex];
        const auto t0 = Clock::now();
        for (long i = 0; i < n; ++i)
            InvalidateRect(hWnd, &rc, FALSE);
        const double d = std::chrono::duration<double>(Clock::now() - t0).count();
        standin::ClearInvalidations();
        const double dRun = fHex ? dHex : dText;
        std::printf("%-5s %ld invalidations cost the stand-in %.0f ms, %.0f%% of the run; ",
                    fHex ? "hex" : "text", n, d * 1e3, 100 * d / dRun);
        // Timed apart from the run, the calls may take longer than the run did on a busy
        // machine: then there is nothing left to estimate from.
        if (d < dRun)
            std::printf("without them about %.1f MB/s (%.1f x copy)\n", MBs(dRun - d),
                        (dRun - d) / dCopy);
        else
            std::printf("too noisy here to estimate the rest\n");
    }
    DestroyWindow(hWnd);
    return 0;
}
