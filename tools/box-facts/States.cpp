#include "BoxFacts.h"
#include "UpdateUtils.h"

#include <iterator>

namespace
{
struct cNamedState
{
    eUpdateStates value;
    const char* name;
};

#define STATE(enumerator)                                                                          \
    cNamedState                                                                                    \
    {                                                                                              \
        enumerator, #enumerator                                                                    \
    }

// Every state by its enumerator, so that tests name a state as the code does.
const cNamedState kStates[] = {
    STATE(UPDATE_STATE_UNKNOWN),
    STATE(UPDATE_STATE_READY),
    STATE(UPDATE_STATE_FAILED),
    STATE(UPDATE_STATE_UPLOADING),
    STATE(UPDATE_STATE_UPLOADED),
    STATE(UPDATE_STATE_DOWNLOADING),
    STATE(UPDATE_STATE_DOWNLOADED),
    STATE(UPDATE_STATE_EXTRACTING),
    STATE(UPDATE_STATE_EXTRACTED),
    STATE(UPDATE_STATE_UPDATING),
    STATE(UPDATE_STATE_NEEDS_REBOOT),
    STATE(UPDATE_STATE_REBOOTING),
    STATE(UPDATE_STATE_FINISHED),
    STATE(UPDATE_STATE_UPDATED),
    STATE(UPDATE_STATE_UPDATING_DSP),
    STATE(UPDATE_STATE_UPDATED_DSP),
    STATE(UPDATE_STATE_LOST_COMMS),
    STATE(UPDATE_STATE_LAST_LEGACY_STATE),
    STATE(UPDATE_STATE_WAITING_FOR_FW_VERSION),
    STATE(UPDATE_STATE_RECEIVED_FW_VERSION),
    STATE(UPDATE_STATE_KOV_EXTRACTING),
    STATE(UPDATE_STATE_KOV_UPDATE_FAILED),
    STATE(UPDATE_STATE_KOV_EXTRACTED),
    STATE(UPDATE_STATE_KOV_EXTRACTED_2),
    STATE(UPDATE_STATE_KOV_UPDATING_DSP),
};
static_assert(std::size(kStates) == UPDATE_STATE_KOV_UPDATING_DSP + 1,
              "a state without its name here");

} // namespace

QJsonArray ProgressStates()
{
    QJsonArray states;
    for (const cNamedState& state : kStates)
    {
        states.append(QJsonObject{{"value", state.value},
                                  {"name", QString::fromLatin1(state.name)},
                                  {"text", GetStateAsString(state.value)}});
    }
    return states;
}
