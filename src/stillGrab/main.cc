#include <csignal>

#include <glog/logging.h>

#include "common/process_util.h"
#include "fifo_ipc/client_fifo.h"
#include "fifo_ipc/fifo_paths.h"
#include "still_grab.h"

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
    pnocamera::catchAndIgnore(SIGINT);

    pnocamera::SetUpWrite(pnocamera::kServerReadFifo, &photo.fifo_fd);
    return stillgrab::takePhoto(photo, argv[0]);
}
