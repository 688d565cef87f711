#include "BodyFile.h"

#include "ReplacementFile.h"

#include <QDebug>

namespace
{
class cTemporaryBody : public cBodyFile
{
public:
    explicit cTemporaryBody(const QString& target) : mFile(target) {}

    bool Open() { return mFile.Open(); }
    QString ErrorString() const { return mFile.ErrorString(); }

    QFile& File() override { return mFile.File(); }
    bool Sync() override { return mFile.Sync(); }
    bool CommitAs(const QByteArray& name) override { return mFile.CommitAs(name); }
    void Discard() override { mFile.Discard(); }
    bool StartOver() override { return mFile.File().resize(0) && mFile.File().seek(0); }
    QByteArray TemporaryPath() const override { return mFile.TemporaryPath(); }

private:
    cReplacementFile mFile;
};
} // namespace

std::unique_ptr<cBodyFile> OpenTemporaryBody(const QString& target)
{
    std::unique_ptr<cTemporaryBody> body(new cTemporaryBody(target));
    if (!body->Open())
    {
        qDebug() << "Cannot write" << target << ":" << body->ErrorString();
        return nullptr;
    }
    return body;
}
