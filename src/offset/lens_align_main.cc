// lensAlign COUNT WIDTH HEIGHT ORIENTATION: measures the lens offsets and
// stores their mean as "defaultOffset" (see correct_offset.h).
#include <csignal>

#include <glog/logging.h>

#include "common/process_util.h"
#include "fifo_ipc/client_fifo.h"
#include "fifo_ipc/fifo_paths.h"
#include "offset/correct_offset.h"

int main(int argc, char** argv) {
    google::InitGoogleLogging(argv[0]);
    google::InstallFailureSignalHandler();
    FLAGS_logtostderr = true;

    lensalign::Calibration calibration;
    if (!lensalign::parseArguments(argc, argv, calibration)) {
        LOG(ERROR) << lensalign::kUsageText;
        return lensalign::kUsage;
    }

    // An interrupt from a terminal does not stop a calibration in progress.
    pnocamera::catchAndIgnore(SIGINT);

    // Opened as the controller expects of a worker; nothing is read from it.
    pnocamera::SetUpRead(pnocamera::kServerReadFifo, &calibration.fifo_fd);
    return lensalign::calibrate(calibration);
}
