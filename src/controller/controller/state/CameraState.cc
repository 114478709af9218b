#include "controller/state/CameraState.h"

#include <unistd.h>

CameraState::~CameraState() { alarm(0); }

void CameraState::handCmdInput(CmdMessage const&) {}
void CameraState::handleSigChild() {}
void CameraState::onAlrm() {}

bool CameraState::isBusyType(int t) {
    switch (t) {
    case 1: case 2: case 3: case 6: case 8: case 9: case 10: case 11:
        return true;
    default:
        return false;
    }
}

bool CameraState::isJobType(int t) {
    switch (t) {
    case 1: case 2: case 3: case 8: case 9: case 11:
        return true;
    default:
        return false;
    }
}

bool CameraState::isBusy() const { return isBusyType(type()); }
