// SPDX-License-Identifier: MIT
// The documents held to the code: the man page to the options and exit statuses the program
// has, every message the troubleshooting tables quote to the code that says it, every test
// and file the tests' README names to the tree, and the benchmark's figures to the code they
// measured. Drift fails here instead of reaching a reader.
#include "base/exitstatus.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QDir Source(STEPPER_SOURCE_DIR);

QString Read(const QString& path)
{
    QFile file(Source.filePath(path));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(file.fileName()));
    return QString::fromUtf8(file.readAll());
}

// The man page's section NAME, its roff markup taken out: one entry a paragraph tag (.TP),
// the tag's line and its text after it.
QList<std::pair<QString, QString>> ManSection(const QString& name)
{
    const QString page = Read("packaging/stepper-dial.1");
    const qsizetype from = page.indexOf("\n.SH " + name + '\n');
    const qsizetype to = page.indexOf("\n.SH ", from + 1);
    const auto plain = [](QString line) {
        static const QRegularExpression font(R"(\\f[BIRP])");
        static const QRegularExpression macro(R"(^\.(B|BI|BR|I)\s+)");
        return line.remove(macro).remove(font).replace("\\-", "-").remove('"').simplified();
    };
    QList<std::pair<QString, QString>> entries;
    const QStringList lines = page.mid(from, to - from).split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] != ".TP")
            continue;
        QString text;
        for (qsizetype j = i + 2; j < lines.size() && !lines[j].startsWith('.'); ++j)
            text += ' ' + lines[j];
        entries.append({plain(lines[i + 1]), plain(text)});
    }
    return entries;
}

// Every string the code can say: C++ literals (adjacent ones joined, escapes read), and the
// scripts and unit as they stand.
QStringList CodeTexts()
{
    QStringList texts;
    static const QRegularExpression literal(R"re("((?:[^"\\\n]|\\.)*)"(\s*(?=")|))re");
    for (const char* folder : {"base", "output", "network", "motor", "command", "core", "window",
                               "web", "mqtt", "shell"}) {
        for (const QString& name : QDir(Source.filePath(folder)).entryList({"*.cpp", "*.h"})) {
            QString joined;
            for (const auto& match : literal.globalMatch(Read(QString(folder) + '/' + name))) {
                joined += match.captured(1)
                              .replace("\\\"", "\"")
                              .replace("\\n", "\n")
                              .replace("\\\\", "\\");
                if (match.captured(2).isNull() || match.capturedLength(2) == 0) {
                    texts << joined;
                    joined.clear();
                }
            }
        }
    }
    for (const QString& name : QDir(Source.filePath("scripts")).entryList({"*.sh"}))
        texts << Read("scripts/" + name);
    texts << Read("packaging/stepper-dial.service");
    return texts;
}

} // namespace

class TestDocuments : public QObject {
    Q_OBJECT

private slots:
    void optionsMatchTheManPage();
    void exitStatusesMatchTheManPage();
    void quotedMessagesAreSaid_data();
    void quotedMessagesAreSaid();
    void namedTestsAndFilesExist_data();
    void namedTestsAndFilesExist();
    void benchmarkFiguresAreCurrent();
};

// Each option with its argument's name as --help gives them, against the man page's.
void TestDocuments::optionsMatchTheManPage()
{
    QProcess program;
    program.start(qEnvironmentVariable("STEPPER_DIAL"), {"--help"});
    QVERIFY(program.waitForFinished(60000));
    QCOMPARE(program.exitCode(), 0);
    QMap<QString, QString> help, man;
    // Options start two spaces in; their wrapped descriptions further.
    static const QRegularExpression option(R"(^  (?:-\w, )?--([a-z-]+)(?: <([^>]+)>)?)");
    for (const QString& line : QString::fromUtf8(program.readAllStandardOutput()).split('\n'))
        if (const auto match = option.match(line); match.hasMatch())
            help[match.captured(1)] = match.captured(2);
    // An optional argument in brackets is a positional one, which --help shows in prose.
    static const QRegularExpression tag(R"(^(?:-\w ?, )?--([a-z-]+)\s*(?:\[.*\])?(.*)$)");
    for (const auto& [line, text] : ManSection("OPTIONS"))
        if (const auto match = tag.match(line); match.hasMatch())
            man[match.captured(1)] = match.captured(2);
    QVERIFY(help.size() > 20);
    QCOMPARE(man, help);
}

void TestDocuments::exitStatusesMatchTheManPage()
{
    QMap<QString, QString> table, man;
    for (const ExitStatusMeaning& exit : ExitStatusMeanings)
        table[QString::number(ToInt(exit.status))] =
            QString::fromUtf8(exit.meaning.data(), qsizetype(exit.meaning.size()));
    for (const auto& [line, text] : ManSection("EXIT STATUS"))
        man[line] = text;
    QCOMPARE(man, table);
}

// A quote's parts in capitals (FILE, N, HOST:PORT), its "...", paths and anything with a digit
// in it (a port, an address, ppdev0) stand for what the program fills in; the rest must be in the
// code as written. Rows quoting a library's or the kernel's own words say so ("'s words") and
// are left out.
void TestDocuments::quotedMessagesAreSaid_data()
{
    QTest::addColumn<QString>("fragment");
    const QString readme = Read("README.md");
    const QString rows =
        Read("docs/troubleshooting.md") + readme.mid(readme.indexOf("## Troubleshooting"));
    static const QRegularExpression quote("`([^`]+)`");
    static const QRegularExpression filled(
        R"((\.\.\.|…|\b[A-Z]{1,6}\b(?![-_])|[\w/.]*\d[\w/.:-]*|(?<!\w)/[\w/.-]+))");
    static const QRegularExpression letters("[a-z]{3}");
    QSet<QString> fragments;
    for (const QString& row : rows.split('\n')) {
        if (!row.startsWith("| ") || row.contains("'s words"))
            continue;
        const QString seen = row.section('|', 1, 1);
        for (const auto& match : quote.globalMatch(seen)) {
            if ((match.captured(1).startsWith('-') && !match.captured(1).contains(':')) ||
                match.captured(1).startsWith("systemctl "))
                continue; // an option or a command named, not a message
            for (const QString& part : match.captured(1).split(filled, Qt::SkipEmptyParts))
                if (part.trimmed().size() >= 6 && part.contains(letters))
                    fragments.insert(part.trimmed());
        }
    }
    QVERIFY(fragments.size() > 50);
    for (const QString& fragment : fragments)
        QTest::newRow(qPrintable(fragment)) << fragment;
}

// A message is made of literals and values filled in between them, and a table may quote it
// with the values of one run (a holder's name, a lockdown mode): the quote is said when the
// code's texts cover it piece by piece, longest pieces first, with at most one word in four
// left for the values and half of its letters found.
void TestDocuments::quotedMessagesAreSaid()
{
    QFETCH(QString, fragment);
    static const QString code = CodeTexts().join(QChar(0));
    const QStringList words = fragment.split(' ', Qt::SkipEmptyParts);
    qsizetype found = 0, values = 0;
    for (qsizetype i = 0; i < words.size();) {
        qsizetype j = words.size();
        while (j > i && !code.contains(words.mid(i, j - i).join(' ')))
            --j;
        if (j == i) {
            ++values;
            ++i;
            continue;
        }
        if (const qsizetype length = words.mid(i, j - i).join(' ').size(); length >= 4)
            found += length;
        i = j;
    }
    QVERIFY2(values * 4 <= std::max<qsizetype>(words.size(), 4) && found * 2 >= fragment.size(),
             "quoted in the troubleshooting tables, not said so by the code");
}

void TestDocuments::namedTestsAndFilesExist_data()
{
    QTest::addColumn<QString>("name");
    static const QRegularExpression named(
        R"(\b(tst_\w+(?:::\w+)?|(?<![\w/-])(?:tests|scripts|bench|packaging|docs)/[\w./-]*\w))");
    QSet<QString> names;
    for (const QString& document : {"tests/README.md", "bench/README.md", "README.md"})
        for (const auto& match : named.globalMatch(Read(document)))
            names.insert(match.captured(1));
    QVERIFY(names.size() > 20);
    for (const QString& name : names)
        QTest::newRow(qPrintable(name)) << name;
}

void TestDocuments::namedTestsAndFilesExist()
{
    QFETCH(QString, name);
    if (!name.startsWith("tst_")) {
        QVERIFY2(QFileInfo::exists(Source.filePath(name)), "named in a README, not in the tree");
        return;
    }
    const QString file = "tests/" + name.section("::", 0, 0) + ".cpp";
    QVERIFY2(QFileInfo::exists(Source.filePath(file)), "named in a README, no such test");
    if (name.contains("::")) {
        const QRegularExpression slot("\\bvoid " + name.section("::", 1) + "\\(\\);");
        QVERIFY2(Read(file).contains(slot), "named in a README, no such case");
    }
}

// The current table names the version it measured, and no change to the stepping path, the
// outputs or the views' feed came after it: such a change is measured again.
void TestDocuments::benchmarkFiguresAreCurrent()
{
    static const QRegularExpression heading(R"(\n## Current figures \(stepper-dial ([\d.]+)\))");
    const auto version = heading.match(Read("bench/README.md"));
    QVERIFY2(version.hasMatch(), "bench/README.md: no '## Current figures (stepper-dial X.Y.Z)'");
    QVERIFY2(Read("packaging/changelog").contains("stepper-dial (" + version.captured(1) + ')'),
             "bench/README.md measured a version the changelog does not know");
    QProcess git;
    git.setWorkingDirectory(Source.path());
    const auto log = [&](const QStringList& arguments) {
        git.start("git", QStringList{"log", "--format=%h %s"} + arguments);
        return git.waitForFinished(30000) && git.exitCode() == 0
                   ? QString::fromUtf8(git.readAllStandardOutput()).trimmed()
                   : QString();
    };
    const QString measured = log({"-1", "--", "bench/README.md"}).section(' ', 0, 0);
    if (measured.isEmpty())
        QSKIP("no git history here to compare the figures with");
    const QString after = log(
        {measured + "..HEAD", "--", "motor", "output", "core/statefeed.h", "core/statefeed.cpp"});
    QVERIFY2(after.isEmpty(), qPrintable("changed since bench/README.md was measured (run "
                                         "scripts/bench.sh and update its table):\n" +
                                         after));
}

QTEST_GUILESS_MAIN(TestDocuments)
#include "tst_documents.moc"
