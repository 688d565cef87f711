#include "ReplacementFile.h"
#include "UpdateUtils.h"

// A flag is replaced whole rather than emptied in place: a link planted at its path is
// replaced too, never followed to a file elsewhere.
bool Touch(const QString& path)
{
    return ReplaceFileContent(path, QByteArray());
}
