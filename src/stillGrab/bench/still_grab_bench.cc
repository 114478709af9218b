// Photo pipeline figures.
//
//   sim/vcam -- still_grab_bench [runs]
//
// For two lenses at 1440 and 2048: the time of each stage of a photo on the
// virtual camera's lenses (open, warm-up, decode+join, encode, write, Exif),
// and the cost of the program's decode+join+encode against the bare codec
// calls on the same frames (decode each lens to its own buffer, encode one
// image), as a ratio. Then the program itself, start to exit, with its peak
// memory against the joined image, the lens frames and the JPEG it wrote.
#include <sys/resource.h>
#include <sys/stat.h>
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
#include "still_grab.h"
#include "support/bench_clock.h"

using namespace stillgrab;
using camtest::Clock;
using camtest::median;
using camtest::ms;
using camtest::timeIt;

namespace {

void benchSize(int size, int runs) {
    char w[16], mode[] = "0", n[] = "2", h[] = "h";
    snprintf(w, sizeof w, "%d", size);
    std::string path = "/sdcard/bench.pnop";
    char* argv[] = {const_cast<char*>("stillGrab"), n, w, w, mode, &path[0], h, nullptr};
    std::vector<double> t_open, t_warm, t_join, t_enc, t_write, t_exif, t_bare, t_prog;
    for (int run = 0; run < runs; ++run) {
        Photo photo;
        if (!parseArguments(7, argv, photo)) return;
        try {
            t_open.push_back(timeIt([&] { openCamera(photo); }));
            t_warm.push_back(timeIt([&] { warmUpCamera(photo); }));
        } catch (const std::exception& e) {
            fprintf(stderr, "lenses: %s\n", e.what());
            return;
        }
        Jpeg jpeg;
        initBuffer(photo);
        t_join.push_back(timeIt([&] { CHECK_EQ(horizontalCombine(photo), kOk); }));
        t_enc.push_back(timeIt([&] { CHECK_EQ(encodeImage(photo, jpeg), kOk); }));
        t_write.push_back(timeIt([&] { CHECK_EQ(writeImage(path, jpeg.data(), jpeg.size()), kOk); }));
        t_exif.push_back(timeIt([&] { writeModel(path, "bench"); }));
        t_prog.push_back(t_join.back() + t_enc.back());

        // The bare codec on the same frames: each lens decoded to a buffer of
        // its own, and the same joined picture encoded.
        std::vector<std::vector<unsigned char>> rgb(2, std::vector<unsigned char>(size_t(size) * size * 3));
        const std::vector<unsigned char>& joined = photo.joined;
        t_bare.push_back(timeIt([&] {
            tjhandle d = tjInitDecompress();
            for (int i = 0; i < 2; ++i)
                tjDecompress2(d, reinterpret_cast<const unsigned char*>(photo.cameras[i].data()),
                              photo.cameras[i].size(), rgb[i].data(), size, 0, size, TJPF_RGB, TJFLAG_FASTDCT);
            tjDestroy(d);
            tjhandle c = tjInitCompress();
            unsigned char* out = nullptr;
            unsigned long out_size = 0;
            tjCompress2(c, joined.data(), 2 * size, 0, size, TJPF_RGB, &out, &out_size, TJSAMP_444, 100,
                        TJFLAG_FASTDCT);
            tjFree(out);
            tjDestroy(c);
        }));
        unlink(path.c_str());
    }
    double total = median(t_open) + median(t_warm) + median(t_join) + median(t_enc) + median(t_write) + median(t_exif);
    printf(
        "2 x %d: open %.1f ms, warm-up %.1f ms, decode+join %.1f ms, encode %.1f ms, write %.1f ms, "
        "exif %.1f ms, total %.1f ms\n",
        size, median(t_open), median(t_warm), median(t_join), median(t_enc), median(t_write), median(t_exif), total);
    printf("2 x %d: program decode+join+encode %.1f ms, bare codec %.1f ms, ratio %.3f\n", size, median(t_prog),
           median(t_bare), median(t_prog) / median(t_bare));
}

// The stillGrab program as the controller starts it.
void benchProgram(int size, int runs) {
    const std::string w = std::to_string(size);
    const std::string path = "/sdcard/bench_program.pnop";
    std::vector<double> wall;
    long peak_kib = 0;
    off_t jpeg_bytes = 0;
    for (int run = 0; run < runs; ++run) {
        auto t = Clock::now();
        pid_t pid = pnocamera::spawnProcess({"stillGrab", "2", w, w, "0", path, "h"});
        int status = 0;
        struct rusage ru {};
        if (pid < 0 || wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            fprintf(stderr, "stillGrab %d failed\n", size);
            return;
        }
        wall.push_back(ms(Clock::now() - t));
        peak_kib = std::max(peak_kib, ru.ru_maxrss);
        struct stat st {};
        if (stat(path.c_str(), &st) == 0) jpeg_bytes = st.st_size;
        unlink(path.c_str());
    }
    // A lens frame buffer is the driver's 2 bytes per pixel, two per lens.
    const double joined = 2.0 * size * size * 3 / 1024;
    const double frames = 2.0 * 2 * size * size * 2 / 1024;
    printf(
        "stillGrab 2 x %d: start to exit %.1f ms, peak resident %ld KiB (joined %.0f KiB + lens buffers %.0f "
        "KiB + jpeg %lld KiB = %.0f KiB)\n",
        size, median(wall), peak_kib, joined, frames, static_cast<long long>(jpeg_bytes / 1024),
        joined + frames + jpeg_bytes / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    google::InitGoogleLogging(argv[0]);
    FLAGS_logtostderr = true;
    FLAGS_minloglevel = 1;
    int runs = argc > 1 ? atoi(argv[1]) : 5;
    // The program first: a lens lock, once taken, is held until this process ends.
    for (int size : {1440, 2048}) benchProgram(size, runs);
    for (int size : {1440, 2048}) benchSize(size, runs);
    return 0;
}
