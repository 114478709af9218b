// Exit statuses of the worker programs, a contract between processes: the
// controller reaps a worker and shows its status as the job's failure code
// (the error screen picks its picture by it), and a job start of its own
// that fails reports kConfig or kStartFailed the same way.
#pragma once

namespace worker_status {
enum Status : int {
    kOk = 0,
    kUsage = 1,       // arguments missing or not usable
    kOutputFile = 3,  // stillGrab: the photo file cannot be created or written
    kCamera = 5,      // a lens cannot be opened or read
    kConfig = 9,      // a configuration file cannot be read or answer
    kBitmap = 11,     // lensAlign: "/preview/test.bmp" cannot be written
    kNoMemory = 12,   // stillGrab: out of memory
    kOffset = 13,     // a lens offset that does not parse or cannot be stored
    kCodec = 100,     // a JPEG frame or photo that does not decode or encode
    // The worker could not be started (as a shell reports a program it
    // cannot run).
    kStartFailed = 127,
};

// The failure code of a worker ended by signal sig (as a shell reports it).
constexpr int signalled(int sig) { return 128 + sig; }
}  // namespace worker_status
