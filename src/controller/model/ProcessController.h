// Worker jobs: starts the worker programs with their command lines, stops and
// reaps them, and writes commands for the streaming worker into the FIFO.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "fifo_ipc/fifo_paths.h"
#include "model/board_pins.h"

class ProcessController {
public:
    explicit ProcessController(const std::string& dir);
    ProcessController(const ProcessController&) = delete;
    ProcessController& operator=(const ProcessController&) = delete;

    // true when stillGrab was started; false when it could not be (no label
    // for the width, no free name, fork or exec failure).
    bool takePhoto(int camera_num, int width, int height, unsigned mode, const unsigned* ratio,
                   const std::string& orientation);
    // 0 started, -1 not started.
    int startRecord(int camera_num, int width, int height, int bitrate, unsigned mode, const unsigned* ratio,
                    const std::string& orientation);
    int stopRecord();
    // 0 started, -1 not started.
    int startLive(int camera_num, bool live, int width, int height, int bitrate, unsigned mode, const unsigned* ratio,
                  const std::string& url, const std::string& orientation, int scale);
    int stopLive();
    int forceQuit();

    int takeGainPhoto(int a, int b, int c, int d, int e, const std::string& text);
    int setUpAP();
    int closeAP();

    void setAutoExposureParam(double factor);
    void setAudioDenoise(bool open);
    void setCameraProperty(int index, const std::string& property, int val);
    // 0 when the snapshot request was sent, -1 when no name could be reserved.
    int realtimeSnapshot(int camera_num, int width, int height);

    // Reaps every ended child; exited/code report the recorded one. A child
    // ended by the controller's own stop signals reports 0, any other signal
    // 128 + the signal number.
    void waitForChildProcess(bool& exited, int& code);

    // A free media path (no entry at all there, not even a link), "" when
    // none could be found.
    std::string nextFilePath(const std::string& prefix, const std::string& ending) const;

    // Exit code reported for a child's wait status.
    static int childCode(int status);
    // Command line of each worker (argument 0 is the program).
    static std::vector<std::string> stillGrabArgs(int camera_num, int width, int height, unsigned mode,
                                                  const std::string& path, const std::string& orientation,
                                                  const unsigned* ratio);
    static std::vector<std::string> mp4SpoolArgs(int camera_num, int width, int height, int bitrate, unsigned mode,
                                                 const std::string& path, const std::string& orientation,
                                                 const unsigned* ratio);
    static std::vector<std::string> realTimeStillGrabArgs(int camera_num, bool live, int width, int height,
                                                          const std::string& url, int bitrate, unsigned mode,
                                                          const std::string& orientation, int scale,
                                                          const unsigned* ratio);
    // Media name ending for a width ("@" label suffix), "" without a label.
    static std::string mediaEnding(int width, const char* suffix);

    int read_fd_ = -1;
    int write_fd_ = -1;
    std::string media_dir_;
    pid_t child_pid_ = -1;
    // The signal that ended the recorded child last reaped, 0 when it exited.
    int child_signal_ = 0;
    // The governor and fan are up for the current job (stops lower them).
    bool raised_ = false;

private:
    // CPU governor to "performance" and the fan on for a recording or
    // streaming worker; back to "ondemand" and off once, when the raise is
    // still standing (a failed start, a worker reaped without its stop).
    void raiseForJob();
    void lowerAfterJob();
    pid_t start(const std::vector<std::string>& argv);
    void sendFifo(const std::string& text);
};
