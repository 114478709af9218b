// The busy record screen: runs the recorder, shows time and size, pushes
// "recordState", stops on select, on a full budget or when the card goes.
#pragma once

#include <cstdint>
#include <string>

#include "controller/state/CameraState.h"

struct Context;

class OnRecordingState : public JobState {
public:
    OnRecordingState(Context& ctx, int width, int height, int bitrate);

    void show() override;
    void clear() override;
    void selfClear();
    int type() const override { return state_type::kRecording; }
    void handCmdInput(CmdMessage const& msg) override;
    void handleSigChild() override;

    void displayDuration(int seconds) const;
    void displayFileSize(uint64_t size) const;
    // "MM:SS" and "size/budget" as the screen shows them.
    static std::string durationText(int seconds);
    static std::string fileSizeText(uint64_t size, uint64_t budget);

    int seconds() const { return seconds_; }
    uint64_t spaceBudget() const { return space_budget_; }
    uint64_t warnLimit() const { return warn_limit_; }
    uint64_t finishedBytes() const { return finished_bytes_; }
    const std::string& currentFile() const { return current_file_; }

private:
    void stopJob() override;
    void leaveFailedStart(int code) override;
    void recordTick();
    void onCard(int inserted);

    int seconds_ = 0;
    uint64_t space_budget_ = 0;
    uint64_t finished_bytes_ = 0;
    uint64_t warn_limit_ = 0;
    std::string current_file_;
    int width_;
    int height_;
    int bitrate_;
    LifeToken life_;
};
