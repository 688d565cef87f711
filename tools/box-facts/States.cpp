#include "BoxFacts.h"
#include "UpdateUtils.h"

#include <algorithm>
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

// In the enumeration's order: each one's value is its place here.
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
constexpr int kStateCount = static_cast<int>(std::size(kStates));
static_assert(kStateCount == UPDATE_STATE_KOV_UPDATING_DSP + 1, "a state without its name here");

// The states the tool's steps write: the extraction's (DovozUdiZedezodExtract.cpp) and the two
// update requests' (DovozUdiZedezodRequests.cpp). The box's other programs write the rest.
const eUpdateStates kWrittenByTheTool[] = {UPDATE_STATE_FAILED, UPDATE_STATE_EXTRACTING,
                                           UPDATE_STATE_EXTRACTED, UPDATE_STATE_UPDATING,
                                           UPDATE_STATE_UPDATING_DSP};

bool WrittenByTheTool(eUpdateStates state)
{
    return std::find(std::begin(kWrittenByTheTool), std::end(kWrittenByTheTool), state) !=
           std::end(kWrittenByTheTool);
}
} // namespace

QJsonArray ProgressStates()
{
    // A text past the last state that differs from the one past that is a state not named here.
    if (GetStateAsString(static_cast<eUpdateStates>(kStateCount)) !=
        GetStateAsString(static_cast<eUpdateStates>(kStateCount + 1)))
    {
        Refuse(QStringLiteral("GetStateAsString knows a state that has no name here"));
    }
    QJsonArray states;
    for (int value = 0; value < kStateCount; ++value)
    {
        const cNamedState& state = kStates[value];
        if (state.value != value)
        {
            Refuse(QString::fromLatin1(state.name) + " is not in the enumeration's order here");
        }
        states.append(QJsonObject{{"value", value},
                                  {"name", QString::fromLatin1(state.name)},
                                  {"text", GetStateAsString(state.value)},
                                  {"written_by_the_tool", WrittenByTheTool(state.value)}});
    }
    return states;
}
