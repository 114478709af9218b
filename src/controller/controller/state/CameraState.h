// Screen-state interface: the event loop hands every user-interface event to
// the current state.
#pragma once

class CmdMessage;

class CameraState {
public:
    // Cancels any pending alarm.
    virtual ~CameraState();
    virtual void show() = 0;
    virtual void clear() = 0;
    virtual void handCmdInput(CmdMessage const& msg);
    virtual void handleSigChild();
    virtual void onAlrm();
    virtual int type() const = 0;
    virtual void handleButton0() = 0;
    virtual void handleButton1() = 0;
    virtual void handleButton2() = 0;

    // Types 1, 2, 3, 6, 8, 9, 10 and 11.
    bool isBusy() const;

    static bool isBusyType(int type);
    // Types whose select action stops a running worker job.
    static bool isJobType(int type);
};
