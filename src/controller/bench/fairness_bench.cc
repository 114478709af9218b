// Fairness benchmark of the controller's loop: one client sends 100
// "queryCamera2" lines in one write; meanwhile another client's heartTest
// and a button press ("vcam-key next") are timed.
//   controller_fairness_bench PID LOG ROUNDS
// LOG is the controller's output file, where "button pressed " shows the
// press handled. Prints per round and the worst of all rounds.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::time_point from) { return std::chrono::duration<double, std::milli>(Clock::now() - from).count(); }

size_t countIn(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
    return n;
}

std::string slurp(const char* path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Reads from fd into in until it holds count copies of part; false on a
// 30 s stall or a close.
bool readUntil(int fd, std::string& in, const std::string& part, size_t count) {
    while (countIn(in, part) < count) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) return false;
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        in.append(buf, static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: controller_fairness_bench PID LOG ROUNDS\n");
        return 2;
    }
    const char* log = argv[2];
    int rounds = std::atoi(argv[3]);
    int flood = bench::connectCamera();
    int other = bench::connectCamera();
    std::string lines;
    for (int i = 0; i < 100; i++) lines += "{\"cmd\":\"queryCamera2\"}\n";
    double worst_heart = 0, worst_button = 0, worst_flood = 0;
    for (int r = 0; r < rounds; r++) {
        // the last answer is no longer reused
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        size_t presses = countIn(slurp(log), "button pressed ");
        auto start = Clock::now();
        if (write(flood, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) return 1;
        // the press goes in at once beside the heartTest
        double button = -1;
        std::thread press([&] {
            auto pressed = Clock::now();
            if (std::system("vcam-key next") != 0) return;
            while (countIn(slurp(log), "button pressed ") <= presses)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            button = ms(pressed);
        });
        auto heart_sent = Clock::now();
        if (write(other, bench::kRequest, sizeof bench::kRequest - 1) < 0) return 1;
        std::string in;
        if (!readUntil(other, in, bench::kReply, 1)) return 1;
        double heart = ms(heart_sent);
        std::string replies;
        if (!readUntil(flood, replies, "\"type\":\"queryCamera2Result\"", 100)) return 1;
        double all = ms(start);
        press.join();
        if (button < 0) return 1;
        std::printf("round %d: heartTest %.1f ms, button %.1f ms, 100 queryCamera2 %.1f ms\n", r + 1, heart, button,
                    all);
        worst_heart = std::max(worst_heart, heart);
        worst_button = std::max(worst_button, button);
        worst_flood = std::max(worst_flood, all);
    }
    std::printf(
        "worst of %d rounds: heartTest %.1f ms, button %.1f ms (including starting vcam-key), "
        "100 queryCamera2 %.1f ms\n",
        rounds, worst_heart, worst_button, worst_flood);
    close(flood);
    close(other);
    return 0;
}
