#include "servers/server_record.h"

const char* StatusText(int32_t status) {
    switch (status) {
    case WinsockError:
        return "Winsock Error";
    case NoResponse:
        return "No Response";
    case SlowResponse:
        return "Slow Response";
    case Refused:
        return "Refused";
    case NetIsDown:
        return "Net is Down";
    case NoDnsEntry:
        return "No DNS entry";
    case Disabled:
        return "Disabled";
    case Interrupted:
        return "Interrupted";
    default:
        return nullptr;
    }
}

bool IsAnswered(int32_t status) {
    return status == Rejected || status == Tested || status == Used;
}
bool IsKeptByPruning(int32_t status) {
    return status == Tested || status == Used;
}
bool IsCountedInConsensus(int32_t status) {
    return status == Used;
}
bool HasOutcome(int32_t status) {
    return status != None;
}
