// Serves the lenses as /dev/video0.. through umockdev: a testbed with one
// video4linux device per lens whose ioctls come to the lens model. The node
// is a plain file in the testbed, so a client's mmap of it maps the driver
// buffers that the model writes the frames into.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "control_commands.h"
#include "frame_clock.h"
#include "umockdev_handles.h"

namespace vcam {

class LensServer {
public:
    // Builds the testbed (in $TMPDIR) with `lenses` lenses; throws
    // std::runtime_error when it cannot.
    LensServer(int lenses, const FrameClock& clock);
    ~LensServer();
    LensServer(const LensServer&) = delete;
    LensServer& operator=(const LensServer&) = delete;

    const std::string& rootDir() const { return root_; }
    std::vector<std::unique_ptr<LensSlot>>& lenses() { return lenses_; }
    // The testbed other devices of the run join.
    UMockdevTestbed* testbed() { return testbed_.get(); }
    // Takes the lens's video node out of /dev (its driver let go of the
    // bridge) or puts it back, with the same buffers behind it.
    void setPresent(int lens, bool present);

    class Clients;
    struct HandlerData;

private:
    void addEntries(int lens);
    // Destroyed in reverse: the testbed (whose thread calls the handlers)
    // first, then the handlers, then the lenses they serve.
    std::vector<std::unique_ptr<LensSlot>> lenses_;
    std::vector<std::unique_ptr<Clients>> clients_;
    std::vector<std::unique_ptr<HandlerData>> data_;
    std::vector<std::unique_ptr<UMockdevIoctlBase, Unref>> handlers_;
    std::unique_ptr<UMockdevTestbed, Unref> testbed_;
    std::string root_;
    std::vector<bool> present_;
};

}  // namespace vcam
