#include "BoundedOutput.h"

#include "UpdateLimits.h"

#include <algorithm>

void cBoundedOutput::Append(const char* data, int length)
{
    mReceived += length;
    if (mTail.isEmpty())
    {
        const int intoHead = std::min(length, COMMAND_OUTPUT_KEPT_BYTES - mHead.size());
        mHead.append(data, intoHead);
        data += intoHead;
        length -= intoHead;
    }
    if (length >= COMMAND_OUTPUT_KEPT_BYTES)
    {
        mLeftOut += mTail.size() + length - COMMAND_OUTPUT_KEPT_BYTES;
        mTail = QByteArray(data + length - COMMAND_OUTPUT_KEPT_BYTES, COMMAND_OUTPUT_KEPT_BYTES);
        return;
    }
    mTail.append(data, length);
    const int excess = mTail.size() - COMMAND_OUTPUT_KEPT_BYTES;
    if (excess > 0)
    {
        mTail.remove(0, excess);
        mLeftOut += excess;
    }
}

QByteArray cBoundedOutput::Take()
{
    QByteArray kept;
    kept.swap(mHead);
    if (mLeftOut > 0)
    {
        kept += "\n[" + QByteArray::number(mLeftOut) + " bytes left out]\n";
    }
    kept += mTail;
    mTail.clear();
    mLeftOut = 0;
    return kept;
}
