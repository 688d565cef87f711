"""The Qt floor check on small translation units built against the machine's Qt and looked up in
its real pages: each case is one piece of product code, the allow-list it is checked with, and
the reports the check must print (none: it passes). Each case's name says the fault of the check
it guards."""

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
QListData::*
    Behind inline QString and QList members.
"""


@dataclass
class Case:
    name: str  # the fault of the check it guards
    source: str  # the product's only translation unit, src/unit.cpp
    reports: list  # first line of each report, in the order printed
    allow_list: str = STRING_HELPERS
    exit_code: int = 1


CASES = [
    Case(name="a newer function passes, or a private helper the pages do not know passes "
              "unallowed",
         source="""#include <QNetworkRequest>
void Limit(QNetworkRequest& request) { request.setTransferTimeout(60000); }
QString Text(const char* bytes) { return QString::fromUtf8(bytes); }
""",
         reports=["NEWER      QNetworkRequest::setTransferTimeout(int)",
                  "UNSETTLED  QString::fromUtf8_helper(char const*, int)"],
         allow_list=VERSION_TAG),
    Case(name="a class newer than the floor passes in its symbols or in the source",
         source="""#include <QDeadlineTimer>
bool Expired() { QDeadlineTimer timer(500); return timer.hasExpired(); }
""",
         reports=["NEWER      QDeadlineTimer::QDeadlineTimer(long long, Qt::TimerType)",
                  "NEWER      QDeadlineTimer::hasExpired() const",
                  "NEWER      src/unit.cpp:1: QDeadlineTimer",
                  "NEWER      src/unit.cpp:2: QDeadlineTimer"]),
    # Qt 5.6 binds split(QRegExp) to its older overload; the allow-list names the newer one only
    # in part. The enum Qt::SkipEmptyParts belongs to is older than the value.
    Case(name="a newer overload that a default argument binds passes, or a part of a symbol "
              "allows it, or a newer enum value named in the source passes",
         source="""#include <QRegExp>
#include <QStringList>
QStringList Words(const QString& text) { return text.split(QRegExp("\\\\s+")); }
QStringList Parts(const QString& text) { return text.split(QRegExp(","), Qt::SkipEmptyParts); }
""",
         reports=["NEWER      QString::split(QRegExp const&, QFlags<Qt::SplitBehaviorFlags>) const",
                  "NEWER      src/unit.cpp:4: Qt::SkipEmptyParts"],
         allow_list=STRING_HELPERS + "QString::split(QRegExp const&\n    Not the whole symbol.\n"),
    Case(name="a newer enum value with a note of its own, or a newer global template, named in "
              "the source passes",
         source="""#include <QFile>
#include <QStringList>
bool Create(QFile& file) { return file.open(QIODevice::WriteOnly | QIODevice::NewOnly); }
int Count(const QStringList& list) { return qAsConst(list).size(); }
""",
         reports=["NEWER      src/unit.cpp:3: QIODevice::NewOnly",
                  "NEWER      src/unit.cpp:4: qAsConst"]),
    # The table names QSaveFile::close, which only QFileDevice's page documents.
    Case(name="names in comments and strings, an inherited virtual or moc's members in a derived "
              "class fail",
         source="""#include <QSaveFile>
// Qt::SkipEmptyParts would not build on the box; qAsConst neither.
const char* Note() { return "QIODevice::NewOnly QDeadlineTimer"; }
class cFile : public QSaveFile {
public:
    using QSaveFile::QSaveFile;
};
bool Save(const QString& path) { cFile file(path); return file.open(QIODevice::WriteOnly); }
""",
         reports=[], exit_code=0),
    Case(name="an allow-list entry without a reason is taken",
         source="""#include <QString>
QString Text() { return QString::number(1); }
""",
         reports=[], exit_code=2, allow_list="qt_version_tag\n"),
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
