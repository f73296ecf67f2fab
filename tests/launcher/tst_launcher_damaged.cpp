// A launcher file cut short or damaged, and a compressed wizard that does not
// unpack to what was recorded: the launcher refuses it before anything of it
// is used, and leaves nothing behind.
#include "launcher_test_support.h"

class LauncherDamagedFile : public QObject, protected LauncherFixture
{
    Q_OBJECT

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    // A copy of the launcher cut short at, or with one byte flipped at, a place
    // named by WHERE: the launcher's own code or data, a payload, a size word
    // or the file's last byte; with a compressed wizard also its second frame
    // (the one a child process unpacks), its last byte, and the unpacked
    // length and checksum recorded behind the seal. A
    // copy "resealed" has its checksums recorded afresh, as a build that went
    // wrong would have them: only the checks of what unpacks can catch it.
    // %N is the damaged file's size and %M the intact one's.
    void damagedFile_data()
    {
        QTest::addColumn<QByteArray>("how");
        QTest::addColumn<QByteArray>("where");
        QTest::addColumn<bool>("graphical");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("status");
        const QByteArray cut = "\n ERROR : the installer file is incomplete: %N bytes of %M ; download it again\n";
        const QByteArray lines = extracted();
        const QByteArray twoLines = lines.left(lines.lastIndexOf('\n'));
        const QByteArray textStart = extracting("%T/out.rpm") + kAccepted;
        auto row = [](const char *name, const char *how, const char *where, bool graphical, const QByteArray &output,
                      int status) { QTest::newRow(name) << QByteArray(how) << QByteArray(where) << graphical << output << status; };
        row("intact", "none", "code", true, lines + "\nInstallation Finished\n\n\n", 0);
        // The kernel cannot map the launcher's own code and data from a file
        // this short and ends it before any of its code runs.
        row("cut inside the code", "cut", "code", true, "", -1);
        row("cut inside the licence", "cut", "licence", true, cut, 74);
        row("cut inside the package", "cut", "package", false, cut, 74);
        row("cut inside the wizard", "cut", "wizard", true, cut, 74);
        row("one byte short", "cut", "last", false, cut, 74);
        // A flip in code that runs before the check may end the launcher
        // before it can say anything; one in its data never gets that far.
        row("flip in the launcher's data", "flip", "help text", false, damaged("launcher code"), 74);
        row("flip in a size word", "flip", "size word", true, damaged("launcher code"), 74);
        row("flip in the last byte", "flip", "last", true, damaged("launcher code"), 74);
        row("flip in the licence", "flip", "licence", false, damaged("license text"), 74);
        row("flip in the package, text mode", "flip", "package", false, textStart + damaged("native installer"), 74);
        row("flip in the package", "flip", "package", true, damaged("native installer"), 74);
        row("flip in the wizard", "flip", "wizard", true, twoLines + damaged("ui installer"), 74);
        if (qgetenv("QOR_TEST_COMPRESSED") != "1")
            return;
        row("cut near the wizard's end", "cut", "wizard end", true, cut, 74);
        row("flip in the wizard, resealed", "flip, resealed", "wizard", true, twoLines + damaged("ui installer"), 74);
        row("flip in the wizard's second frame, resealed", "flip, resealed", "second frame", true,
            twoLines + damaged("ui installer"), 74);
        row("flip in the wizard's end, resealed", "flip, resealed", "wizard end", true,
            twoLines + damaged("ui installer"), 74);
        row("wrong unpacked size", "flip", "unpacked size", true, damaged("launcher code"), 74);
        row("wrong unpacked size, resealed", "flip, resealed", "unpacked size", true,
            twoLines + damaged("ui installer"), 74);
        row("wrong unpacked checksum, resealed", "flip, resealed", "unpacked checksum", true,
            twoLines + damaged("ui installer"), 74);
    }

    void damagedFile()
    {
        QFETCH(QByteArray, how);
        QFETCH(QByteArray, where);
        QFETCH(bool, graphical);
        QFETCH(QByteArray, output);
        QFETCH(int, status);
        QByteArray file = bytes(launcher);
        const int licenceAt = file.lastIndexOf(licence);
        const int packageAt = file.indexOf(package, licenceAt);
        const QByteArray stored = bytes(env("QOR_TEST_WIZARD_STORED"));
        const int wizardAt = file.indexOf(stored, packageAt);
        const int sealAt = file.indexOf(QOR_SEAL_MAGIC);
        QVERIFY(licenceAt > 0 && packageAt > licenceAt && wizardAt > packageAt && sealAt > 0);
        quint32 firstFrame; // stored bytes; only what a compressed wizard records is read
        memcpy(&firstFrame, file.constData() + sealAt + QOR_SEAL_UNPACKED + QOR_UNPACKED_STORED_SIZES, 4);
        const QMap<QByteArray, int> at{{"code", licenceAt / 2}, {"help text", file.indexOf("user agrees to the eula")}, {"licence", licenceAt + licence.size() / 2},
                                      {"size word", wizardAt - 2}, {"package", packageAt + package.size() / 2},
                                      {"wizard", wizardAt + 20}, {"wizard end", wizardAt + stored.size() - 1},
                                      {"second frame", wizardAt + int(firstFrame) + 20},
                                      {"unpacked size", sealAt + QOR_SEAL_UNPACKED + QOR_UNPACKED_SIZE},
                                      {"unpacked checksum", sealAt + QOR_SEAL_UNPACKED + QOR_UNPACKED_CRC},
                                      {"last", file.size() - 1}};
        const QByteArray full = QByteArray::number(file.size());
        if (how == "cut")
            file.truncate(at[where]);
        else if (how.startsWith("flip"))
            file[at[where]] = static_cast<char>(file[at[where]] ^ 0x10);
        const QByteArray copy = t + "/damaged";
        put(copy, file, 0755);
        if (how.endsWith("resealed"))
            QCOMPARE(QProcess::execute(QString::fromLocal8Bit(env("QOR_SEAL")), {QString::fromLocal8Bit(copy)}), 0);

        int exitStatus;
        QByteArray out = run(copy, graphical ? QStringList() : QStringList{"extract", QString::fromLatin1(t + "/out.rpm")},
                             {}, {graphical ? "DISPLAY=:99" : "QOR_TEST_UNUSED="}, &exitStatus);
        output.replace("%N", QByteArray::number(file.size())).replace("%M", full);
        COMPARE_OUTPUT(out, expand(output));
        QCOMPARE(exitStatus, status);
        QCOMPARE(exists(t + "/wizard-saw/started"), status == 0);
        QCOMPARE(exists(t + "/out.rpm"), status == 0 && !graphical);
        for (const QByteArray &p : {packagePath, licencePath, wizardPath})
            QVERIFY2(!exists(p), p.constData());
    }

    // Frames smaller than the largest, a build option, let a wizard take more
    // frames than the launcher keeps checksums for. As many as it takes
    // unpack whole; one more is refused as damaged, before any is unpacked.
    void frameCount_data()
    {
        QTest::addColumn<QByteArray>("frames");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("status");
        const QByteArray lines = extracted();
        QTest::newRow("1024 frames") << QByteArray("1024") << lines + "\nInstallation Finished\n\n\n" << 0;
        QTest::newRow("1025 frames") << QByteArray("1025")
                                     << lines.left(lines.lastIndexOf('\n')) + damaged("ui installer") << 74;
    }

    void frameCount()
    {
        QFETCH(QByteArray, frames);
        QFETCH(QByteArray, output);
        QFETCH(int, status);
        if (qgetenv("QOR_TEST_COMPRESSED") != "1")
            QSKIP("the wizard is stored as it is");
        int exitStatus;
        QByteArray out = run(env(("QOR_LAUNCHER_" + frames + "_FRAMES").constData()), {}, {}, {"DISPLAY=:99"}, &exitStatus);
        COMPARE_OUTPUT(out, output);
        QCOMPARE(exitStatus, status);
        QVERIFY2(err.isEmpty(), err.constData());
        QCOMPARE(bytes(t + "/wizard-saw/wizard"),
                 status == 0 ? bytes(env(("QOR_TEST_WIZARD_" + frames + "_FRAMES").constData())) : QByteArray("<missing>"));
        for (const QByteArray &p : {packagePath, licencePath, wizardPath})
            QVERIFY2(!exists(p), p.constData());
    }
};

QTEST_GUILESS_MAIN(LauncherDamagedFile)
#include "tst_launcher_damaged.moc"
