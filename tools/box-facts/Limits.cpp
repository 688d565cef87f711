// Compiled twice: as BuiltLimits with this build's flags, and as BoxBuildLimits without the
// overrides a test build gives the waits (CMakeLists.txt undefines them for that copy).

#include "BoxFacts.h"
#include "UpdateLimits.h"

#define LIMIT(constant)                                                                            \
    {                                                                                              \
        QStringLiteral(#constant), constant                                                        \
    }

QJsonObject LIMITS_FUNCTION()
{
    return {
        LIMIT(BOARD_QUERY_WAIT_MS),       LIMIT(BOARD_STATUS_WAIT_MS),
        LIMIT(DOWNLOAD_STALL_TIMEOUT_MS), LIMIT(EXTRACT_WAIT_MS),
        LIMIT(UPDATE_FILES_LOCK_WAIT_MS), LIMIT(UPLOAD_CHECK_WAIT_MS),
        LIMIT(FIRST_LINE_CAP_BYTES),      LIMIT(DOWNLOAD_STALL_MIN_BYTES),
        LIMIT(DOWNLOAD_RETRIES),          LIMIT(DOWNLOAD_RETRY_PAUSE_MS),
        LIMIT(DOWNLOAD_HELD_UP_GRACE_MS),
    };
}
