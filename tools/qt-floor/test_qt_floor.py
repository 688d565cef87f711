"""The Qt floor check on small translation units built against the machine's Qt and looked up in
its real pages: each case is one piece of product code, the allow-list it is checked with, and
the reports the check must print (none: it passes)."""

import os
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
QT_LIBRARY_DIR = subprocess.run(["pkg-config", "--variable=libdir", "Qt5Core"],
                                capture_output=True, text=True, check=True).stdout.strip()
QT_CFLAGS = subprocess.run(["pkg-config", "--cflags", "Qt5Core", "Qt5Network"],
                           capture_output=True, text=True, check=True).stdout.split()

VERSION_TAG = """qt_version_tag
    Referenced by every object built with Qt's headers.
"""
STRING_HELPERS = VERSION_TAG + """QString::*_helper(*
QArrayData::*
    Behind inline QString members.
"""
# The allow-list of a source that splits with a QRegExp: the overload reviewed by hand.
SPLIT_REVIEWED = STRING_HELPERS + """QListData::*
    QList storage.
QString::split(QRegExp const&, QFlags<Qt::SplitBehaviorFlags>) const
    Qt 5.6 binds the same call to its split(const QRegExp &, SplitBehavior).
"""


@dataclass
class Case:
    name: str
    source: str  # the product's only translation unit, src/unit.cpp
    reports: list  # first line of each report, in the order printed
    allow_list: str = VERSION_TAG
    exit_code: int = 1


CASES = [
    Case(name="APIs of Qt 5.6 and older pass",
         source="""#include <QFile>
#include <QSaveFile>
#include <QString>
bool Save(const QString& path) {
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && QFile::exists(path) && file.commit();
}
QString Text() { return QString::number(42); }
""",
         reports=[], exit_code=0),
    Case(name="a function newer than the floor fails, wherever the call is",
         source="""#include <QNetworkRequest>
void Limit(QNetworkRequest& request) { request.setTransferTimeout(60000); }
""",
         reports=["NEWER      QNetworkRequest::setTransferTimeout(int)"]),
    Case(name="a class newer than the floor fails in every symbol and in the source",
         source="""#include <QDeadlineTimer>
bool Expired() { QDeadlineTimer timer(500); return timer.hasExpired(); }
""",
         reports=["NEWER      QDeadlineTimer::QDeadlineTimer(long long, Qt::TimerType)",
                  "NEWER      QDeadlineTimer::hasExpired() const",
                  "NEWER      src/unit.cpp:1: QDeadlineTimer",
                  "NEWER      src/unit.cpp:2: QDeadlineTimer"]),
    Case(name="a newer signal fails as a symbol and by its qualified name",
         source="""#include <QNetworkReply>
void Watch(QNetworkReply* reply) {
    QObject::connect(reply, &QNetworkReply::errorOccurred, [] {});
}
""",
         reports=["NEWER      QNetworkReply::errorOccurred(QNetworkReply::NetworkError)",
                  "NEWER      src/unit.cpp:3: QNetworkReply::errorOccurred"],
         allow_list=VERSION_TAG + """QObject::connectImpl(*
QMetaType::registerNormalized*(*
QArrayData::*
    Behind the inline connect template and the registration of the signal's argument type.
"""),
    Case(name="a default argument that binds a newer overload fails without an allowance",
         source="""#include <QRegExp>
#include <QStringList>
QStringList Words(const QString& text) { return text.split(QRegExp("\\\\s+")); }
""",
         reports=["NEWER      QString::split(QRegExp const&, QFlags<Qt::SplitBehaviorFlags>) const"],
         allow_list=STRING_HELPERS + "QListData::*\n    QList storage.\n"),
    Case(name="the allow-list lets a reviewed symbol pass",
         source="""#include <QRegExp>
#include <QStringList>
QStringList Words(const QString& text) { return text.split(QRegExp("\\\\s+")); }
""",
         reports=[], exit_code=0,
         allow_list=SPLIT_REVIEWED),
    Case(name="naming the newer enum value fails in the source",
         source="""#include <QRegExp>
#include <QStringList>
QStringList Words(const QString& text) {
    return text.split(QRegExp("\\\\s+"), Qt::SkipEmptyParts);
}
""",
         reports=["NEWER      src/unit.cpp:4: Qt::SkipEmptyParts"],
         allow_list=SPLIT_REVIEWED),
    Case(name="a newer enum value leaves no symbol and fails in the source",
         source="""#include <QFile>
bool Create(QFile& file) { return file.open(QIODevice::WriteOnly | QIODevice::NewOnly); }
""",
         reports=["NEWER      src/unit.cpp:2: QIODevice::NewOnly"]),
    Case(name="a newer inline template leaves no symbol and fails in the source",
         source="""#include <QStringList>
int Count(const QStringList& list) { int n = 0; for (const QString& s : qAsConst(list)) n += s.size(); return n; }
""",
         reports=["NEWER      src/unit.cpp:2: qAsConst"],
         allow_list=STRING_HELPERS + "QListData::*\n    QList storage.\n"),
    Case(name="names in comments and strings are no use",
         source="""#include <QString>
// Qt::SkipEmptyParts would not build on the box; qAsConst neither.
const char* Note() { return "QIODevice::NewOnly QDeadlineTimer"; }
""",
         reports=[], exit_code=0),
    Case(name="a private helper the pages do not know fails until it is allowed",
         source="""#include <QString>
QString Text(const char* bytes) { return QString::fromUtf8(bytes); }
""",
         reports=["UNSETTLED  QString::fromUtf8_helper(char const*, int)"]),
    Case(name="an inherited virtual in a derived class's table is as old as its base",
         # The table names QSaveFile::close, which only QFileDevice's page documents.
         source="""#include <QSaveFile>
class cFile : public QSaveFile {
public:
    using QSaveFile::QSaveFile;
};
bool Save(const QString& path) { cFile file(path); return file.open(QIODevice::WriteOnly); }
""",
         reports=[], exit_code=0),
    Case(name="an allow-list entry without a reason stops the check",
         source="""#include <QString>
QString Text() { return QString::number(1); }
""",
         reports=[], exit_code=2,
         allow_list="qt_version_tag\n"),
]


def check(case, directory):
    os.makedirs(os.path.join(directory, "src"))
    unit = os.path.join(directory, "src", "unit.cpp")
    with open(unit, "w", encoding="utf-8") as source:
        source.write(case.source)
    with open(os.path.join(directory, "allow-list.txt"), "w", encoding="utf-8") as allowed:
        allowed.write(case.allow_list)
    subprocess.run(["g++", "-std=c++17", "-fPIC", "-O2", "-DNDEBUG", "-c", unit, "-o",
                    os.path.join(directory, "unit.o"), *QT_CFLAGS], check=True)
    return subprocess.run(
        [sys.executable, os.path.join(HERE, "qt_floor.py"), "--floor", "5.6",
         "--qt-library", os.path.join(QT_LIBRARY_DIR, "libQt5Core.so.5"),
         "--qt-library", os.path.join(QT_LIBRARY_DIR, "libQt5Network.so.5"),
         "--allow-list", "allow-list.txt", "--sources", "src", "unit.o"],
        cwd=directory, capture_output=True, text=True)


class QtFloor(unittest.TestCase):
    def test_cases(self):
        for case in CASES:
            with self.subTest(case.name), tempfile.TemporaryDirectory() as directory:
                run = check(case, directory)
                reports = [line for line in run.stdout.splitlines()
                           if line.startswith(("NEWER", "UNSETTLED"))]
                self.assertEqual(reports, case.reports, run.stdout + run.stderr)
                self.assertEqual(run.returncode, case.exit_code, run.stdout + run.stderr)


if __name__ == "__main__":
    unittest.main()
