#include "player/decoder/CAACADTSDecoder.h"

#include "utils/CLogger.h"

int CAACADTSDecoder::Initialize() {
    // A decoder without a handle must not be fed, so a failed open fails initialisation.
    if (!OpenHandle()) {
        utils::logger.error("%s ERROR :CAACADTSDecoder::Initialize(): Error: Failed to open AAC handle.\n",
                            get_player_prefix());
        return -1;
    }
    return AllocateOutput("CAACADTSDecoder");
}

int CAACADTSDecoder::RestartFeed() {
    if (!OpenHandle()) {
        utils::logger.error(
            "%s ERROR :CAACADTSDecoder::RestartFeed(): Error: Failed to open AAC handle.\n",
            get_player_prefix());
        return -1;
    }
    return 0;
}

void CAACADTSDecoder::SetExtraData(uint8_t**, int*, void* context) { StoreContext(context); }
