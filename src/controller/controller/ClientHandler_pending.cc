// Command handlers whose work lands with the file and settings commands.
// Until then each answers nothing, as an unknown command does.
#include "controller/ClientHandler.h"

#define PENDING(fn) \
    bool ClientHandler::fn(CmdMessage const&, bufferevent*) { return false; }

PENDING(listFile)
PENDING(handleDeleteFile)
PENDING(handleQueryCamera)
PENDING(handleSetCamera)
PENDING(handleQuerySDCard)
PENDING(handleChangeAPPassword)
PENDING(handleBulkDelete)
PENDING(handleSetOffset)
PENDING(handleQueryOffset)
PENDING(handleSetID)
PENDING(handleQueryID)
PENDING(handleSyncTime)
PENDING(handleQueryVersion)
PENDING(handleQueryAppConfig)
PENDING(handleSetUserProperty)
PENDING(handleQueryUserProperty)
PENDING(handleQueryCamera2)
PENDING(handleQueryKernelVersion)
PENDING(handleSetAutoExposureParam)
PENDING(handleListLog)
PENDING(handleSetAudioDenoise)
PENDING(handleQueryStatistic)
