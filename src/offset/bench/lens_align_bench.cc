// Calibration figures.
//
//   sim/vcam -- lens_align_bench [runs]
//
// First the lensAlign program as the controller starts it ("2 1440 1440 h"),
// start to exit, with its peak memory, against its floor: five rounds of 30
// frames at the lenses' 60 frames per second. Then the stages of a run on the
// virtual camera's lenses (open, warm-up, decode, join, bitmap write,
// analysis), and the program's own work per round (decode, join, write)
// against the bare codec decode of the same frames plus one sequential write
// of a buffer the bitmap's size, as a ratio.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <glog/logging.h>
#include <turbojpeg.h>

#include "common/process_util.h"
#include "lens_frames.h"
#include "offset/correct_offset.h"
#include "support/bench_clock.h"

using namespace lensalign;
using camtest::Clock;
using camtest::median;
using camtest::ms;
using camtest::timeIt;

namespace {

const int kSize = 1440;
const char kBarePath[] = "/preview/bench.bmp";

// The process's own high-water mark (VmHWM), 0 once it has ended.
long ownPeakKib(pid_t pid) {
    FILE* fp = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!fp) return 0;
    long kib = 0;
    char line[256];
    while (fgets(line, sizeof line, fp))
        if (sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    fclose(fp);
    return kib;
}

bool benchProgram(int runs) {
    std::vector<double> wall;
    long peak_kib = 0, own_kib = 0;
    for (int run = 0; run < runs; ++run) {
        auto t = Clock::now();
        pid_t pid = pnocamera::spawnProcess({"lensAlign", "2", "1440", "1440", "h"});
        int status = 0;
        struct rusage ru {};
        // The rusage peak also counts the analysis tool; the program's own
        // mark only grows, so its last reading before the end is its peak.
        siginfo_t info{};
        while (pid > 0 && waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0) {
            own_kib = std::max(own_kib, ownPeakKib(pid));
            usleep(5000);
        }
        if (pid < 0 || wait4(pid, &status, 0, &ru) != pid || !pnocamera::exitedCleanly(status)) {
            fprintf(stderr, "lensAlign failed\n");
            return false;
        }
        wall.push_back(ms(Clock::now() - t));
        peak_kib = std::max(peak_kib, ru.ru_maxrss);
    }
    const double floor_ms = 1000.0 * kRounds * kWarmUpFrames / 60;
    // The floor: the joined picture's size at 4 bytes a pixel (what a bitmap
    // held in memory would take, or the rows, decoder and mapped frames in
    // its place) plus the lens buffers of 3 bytes a pixel.
    const double bitmap = 2.0 * kSize * kSize * 4 / 1024;
    const double buffers = 2.0 * kSize * kSize * 3 / 1024;
    printf(
        "lensAlign 2 x %d: start to exit %.1f ms (floor %.0f ms of frames), peak resident %ld KiB, %.2f x the "
        "floor (bitmap %.0f KiB + lens buffers %.0f KiB); with the analysis tool %ld KiB\n",
        kSize, median(wall), floor_ms, own_kib, own_kib / (bitmap + buffers), bitmap, buffers, peak_kib);
    return true;
}

bool writeBare(const std::vector<unsigned char>& data) {
    FILE* fp = fopen(kBarePath, "wb");
    if (!fp) return false;
    bool ok = fwrite(data.data(), 1, data.size(), fp) == data.size();
    return fclose(fp) == 0 && ok;
}

void benchStages(int runs) {
    char n[] = "2", w[] = "1440", h[] = "h";
    char* argv[] = {const_cast<char*>("lensAlign"), n, w, w, h, nullptr};
    std::vector<double> t_open, t_warm, t_decode, t_write, t_analyse, t_bare_decode, t_bare_write;
    for (int run = 0; run < runs; ++run) {
        Calibration c;
        if (!parseArguments(5, argv, c) || !c.bitmap.SetSize(c.image_width, c.image_height)) return;
        try {
            t_open.push_back(timeIt([&] { openCamera(c); }));
        } catch (const std::exception& e) {
            fprintf(stderr, "lenses: %s\n", e.what());
            return;
        }
        initBuffer(c);
        // The bitmap's size on disk: rows of 3 bytes per pixel (no padding at
        // this width) and the headers.
        const std::vector<unsigned char> bare_file(54 + size_t(2 * kSize) * 3 * kSize, 0x5a);
        std::vector<std::vector<unsigned char>> rgb(2, std::vector<unsigned char>(size_t(kSize) * kSize * 3));
        for (int round = 0; round < kRounds; ++round) {
            t_warm.push_back(timeIt([&] { warmUpCamera(c); }));
            t_decode.push_back(timeIt([&] { CHECK_EQ(lensalign::decodeFrames(c), kOk); }));
            // The join fills the file's rows as they are written: one stage.
            t_write.push_back(timeIt([&] { CHECK(writeBitmap(c)); }));
            t_analyse.push_back(timeIt([&] { analyse(); }));
            // The bare codec on the same frames, each lens to a buffer of its own.
            std::vector<Frame> frames = lastFrames(c.cameras);
            t_bare_decode.push_back(timeIt([&] {
                tjhandle d = tjInitDecompress();
                for (int i = 0; i < 2; ++i)
                    tjDecompress2(d, frames[i].data, frames[i].size, rgb[i].data(), kSize, 0, kSize, TJPF_RGB,
                                  TJFLAG_FASTDCT);
                tjDestroy(d);
            }));
            t_bare_write.push_back(timeIt([&] { CHECK(writeBare(bare_file)); }));
        }
        closeCamera(c);
    }
    unlink(kBarePath);
    printf(
        "2 x %d per round: open %.1f ms (once), warm-up %.1f ms, decode %.1f ms, join and bitmap write "
        "%.1f ms, analysis %.1f ms\n",
        kSize, median(t_open), median(t_warm), median(t_decode), median(t_write), median(t_analyse));
    const double own = median(t_decode) + median(t_write);
    const double bare = median(t_bare_decode) + median(t_bare_write);
    printf(
        "2 x %d per round: program decode+join+write %.1f ms, bare decode %.1f ms + sequential write %.1f ms = "
        "%.1f ms, ratio %.3f\n",
        kSize, own, median(t_bare_decode), median(t_bare_write), bare, own / bare);
}

}  // namespace

int main(int argc, char** argv) {
    google::InitGoogleLogging(argv[0]);
    FLAGS_logtostderr = true;
    FLAGS_minloglevel = 1;
    int runs = argc > 1 ? atoi(argv[1]) : 3;
    if (runs < 1) runs = 1;
    // The program first: a lens lock, once taken, is held until this process ends.
    if (!benchProgram(runs)) return 1;
    benchStages(runs);
    return 0;
}
