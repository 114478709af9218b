#include <csignal>
#include <cstring>

#include <glog/logging.h>

#include "fifo_ipc/client_fifo.h"
#include "fifo_ipc/fifo_paths.h"
#include "still_grab.h"

namespace {
void ignoreInterrupt(int) {}
}  // namespace

int main(int argc, char** argv) {
    google::InitGoogleLogging(argv[0]);
    google::InstallFailureSignalHandler();
    FLAGS_logtostderr = true;

    stillgrab::Photo photo;
    if (!stillgrab::parseArguments(argc, argv, photo)) {
        LOG(ERROR) << stillgrab::kUsageText;
        return stillgrab::kUsage;
    }

    // An interrupt from a terminal does not stop a photo in progress.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ignoreInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);

    pnocamera::SetUpWrite(pnocamera::kServerReadFifo, &photo.fifo_fd);
    return stillgrab::takePhoto(photo, argv[0]);
}
