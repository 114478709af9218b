// The run's control over the lenses: clock and frame pacing, injected
// faults, ISP state. One text line in, one line out ("ok ..." or "err ...").
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame_clock.h"
#include "lens_model.h"

namespace vcam {

// A lens with the lock that serialises its requests.
struct LensSlot {
    std::mutex mu;
    std::unique_ptr<BufferBacking> backing;
    std::unique_ptr<LensModel> model;
};

class ControlCommands {
public:
    ControlCommands(std::vector<std::unique_ptr<LensSlot>>& lenses, RunClock& clock);

    std::string execute(const std::string& line);

    static const char* help();

private:
    std::string clockCommand(const std::vector<std::string>& w);
    std::string faultCommand(const std::vector<std::string>& w);
    std::string setCommand(LensModel& lens, const std::vector<std::string>& w);
    // Lens numbers a word names ("all" or one index); empty when invalid.
    std::vector<size_t> lensesOf(const std::string& word) const;

    std::vector<std::unique_ptr<LensSlot>>& lenses_;
    RunClock& clock_;
};

}  // namespace vcam
