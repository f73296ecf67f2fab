// The setup wizard: the shell, its three pages and the install worker.
#ifndef QORWIZ_U_H
#define QORWIZ_U_H

#include <climits>
#include <memory>
#include <mutex>
#include <optional>

#include <QBasicTimer>
#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QWizard>
#include <QWizardPage>

#include "install_road_u.h"

class QCheckBox;
class QCoreApplication;
class QLabel;
class QLocale;
class QPixmap;
class QProgressBar;
class QTextCursor;
class QTextDecoder;
class QTextEdit;
class QTranslator;

// The product version this wizard installs.
extern QString szVersion;

// Loads Qt's own catalogue ("qt_" and the locale's name) from Qt's
// translations folder and installs it in app, which owns the translator.
// Returns it, or null when Qt has no catalogue for the locale.
QTranslator *installQtTranslator(QCoreApplication *app, const QLocale &locale);

// One of the wizard's images (":/res/logo.png"): where Qt scales the
// window, the picture drawn for that scale ("logo@2x.png"), which is shown
// at the size of the 1x one, only sharper.
QPixmap artwork(const char *path);

class qorwiz : public QWizard
{
    Q_OBJECT

public:
    enum { Page_Intro, Page_EULA, Page_Install };

    explicit qorwiz(QWidget *parent = 0);
    ~qorwiz() override;

    // Starts the product's client after a successful installation. Refuses
    // to close, with a message, while the install program still runs.
    void done(int result) override;

    // The program's exit status once the window has closed: one of the
    // QOR_WIZARD_EXIT_* codes of qor_build_config.h.
    int exitStatus() const { return exit_status; }

    // True when the product is installed and the user declined to upgrade:
    // the wizard is then to end at once.
    bool installCheck();

    // True when the installation may go on; false when a package is missing,
    // with errorString saying which, why and what to install. An entry may
    // name alternatives, "pkexec | policykit-1": any one installed will do,
    // and the first is the one to install on current Debian and Ubuntu.
    static bool prereqCheckUbuntu(QStringList packages, QString &errorString);

    bool install_result;

public slots:
    void eulaAgreed();

private slots:
    void showHelp();
    void currentIdChanged(int id);

private:
    int exit_status;
};

class IntroPage : public QWizardPage
{
    Q_OBJECT

public:
    explicit IntroPage(QWidget *parent = 0);
    ~IntroPage() override;

    void initializePage() override;
    int nextId() const override;

private:
    QLabel *topLabel;
    bool isInitialized;
};

class EULAPage : public QWizardPage
{
    Q_OBJECT

public:
    explicit EULAPage(QWidget *parent = 0);
    ~EULAPage() override;

    void initializePage() override;
    int nextId() const override;
    bool getChecked() const;

private slots:
    void printButtonClicked();

private:
    QTextEdit *eulaTextEdit;
    QCheckBox *agreeCheckBox;
    bool isInitialized;
};

class InstallWorker;
class TextPermits;
enum class ImageSystem;

// A package-service client's lines as the install page shows them: the
// install log keeps every line, while the page shows progress as a bar, a
// package line only when it names another package than the last, and no
// service line that repeats one of the two lines shown last.
class ServiceLines
{
public:
    // The whole lines of text that came so far, as the page shows them;
    // the start of a line still being written waits for its end. The last
    // percentage among them shows on bar, unless it is null.
    QString take(const QString &text, QProgressBar *bar);

private:
    QString heldLine;
    QString lastPackage;
    QString lastLines[2]; // the two lines shown last
};

// The install page's title while the installation runs.
extern const char kInstallingTitle[];

class InstallPage : public QWizardPage
{
    Q_OBJECT

public:
    explicit InstallPage(QWidget *parent = 0);
    ~InstallPage() override;

    void initializePage() override;
    int nextId() const override;

    // True from the worker's start until its thread has ended; the wizard
    // refuses to close then.
    bool isInstalling() const;

    // What the page installs, the built-in package unless set before the
    // page is entered.
    void setInstallTarget(const InstallTarget &installTarget) { target = installTarget; }

    // The wizard's Cancel while the installation runs: one through
    // PackageKit is asked to cancel itself, which PackageKit grants until it
    // starts changing the system; the wizard closes once it has. False when
    // nothing could be asked: the installation cannot be cancelled.
    bool cancelInstallation();
    // The installation ended cancelled, as the user asked.
    bool wasCancelled() const { return cancelled; }

private slots:
    void process_readData(const char *str);
    void process_finished(int retcode, const char *str);
    void tryAgain();

private:
    // Text waiting behind the output to go into the view: a piece of a
    // result's report, and the result whose title and buttons follow it.
    struct ViewPiece {
        QString text;
        bool paragraph; // starts a paragraph of its own, else continues the last line
        bool output;    // repeats the program's output: trimmed like it
        bool cut;       // its start was cut off
        int outcome;    // the exit code shown once the text is in, or NoOutcome
    };
    enum { NoOutcome = INT_MIN };

    void timerEvent(QTimerEvent *event) override;
    void appendParagraph(const QString &text);
    void queueOutput(const QString &text, bool dropped);
    void feedView(int limit);
    void feedPieces(QTextCursor &end, int limit);
    void startWorker();
    void takeImageSystemRoad(ImageSystem system, bool root);
    void takeOutcome(int retcode);
    void showOutcome(int retcode);
    void offerTryAgain();
    void showPendingOutput();
    void trimOutput();
    void noteCut();
    QString cutNote() const;
    bool followsEnd() const;
    void keepFollowing(bool following);

    QLabel *bottomLabel;
    QProgressBar *progressBar;
    QTextEdit *progressEdit;
    InstallWorker *thread_process;
    InstallTarget target;
    // What the worker runs, by the road decided on entry; a package-service
    // client's lines are read as records.
    InstallCommand command;
    ServiceLines percentages;
    bool isInitialized;
    // Bytes of the worker's progress text already in the view: each progress
    // text repeats all earlier output, and only the rest is shown.
    int workerTextShown;
    // Where the worker's output starts in the view, -1 before it does;
    // only what follows is trimmed when the view grows long.
    int outputStart;
    // Where the one line saying that earlier output was cut starts, right
    // ahead of outputStart; -1 while nothing was cut.
    int noteStart;
    // Reads the worker's output in the locale's encoding, keeping the start
    // of a character whose rest comes with the next progress text.
    std::unique_ptr<QTextDecoder> outputDecoder;
    // Output not in the view yet, and whether output was dropped ahead of
    // it (what the view shows of the output then goes).
    QString pendingOutput;
    bool outputDropped;
    QList<ViewPiece> pendingPieces;
    QElapsedTimer lastRestart;
    QBasicTimer viewFeeder;
    // The worker's own finished() has arrived; its thread is about to end.
    bool resultReceived;
    // The worker reported that it wrote no install log.
    bool logMissing;
    bool cancelRequested = false;
    bool cancelled = false;
};

class InstallWorker : public QThread
{
    Q_OBJECT

public:
    explicit InstallWorker(QObject *parent);
    ~InstallWorker() override;

    // What runs; unless set before start(), the built-in package by the
    // road that defaultInstallCommand takes for it.
    void setCommand(const InstallCommand &installCommand);

    // Asks an installation through a package service to cancel itself
    // (SIGTERM to its client). False when the install program is another,
    // or has ended: nothing was asked then. Any thread.
    bool requestCancel();

    // Why the run wrote no install log; empty when it wrote one. Set before
    // finished() is emitted, so a receiver of that signal may read it.
    QString logProblem() const { return logProblemText; }

signals:
    void dataRead(const char *str);
    void finished(int retcode, const char *str);

protected:
    void run() override;

private slots:
    // Connected ahead of every receiver in ThreadSanitizer's builds only:
    // see install_worker_u.cpp.
    void textArrived(const char *str);
    void resultArrived(int retcode, const char *str);

private:
    void handOut(const char *text);
    // Gives a text's permit back; called on the GUI thread, queued behind
    // the receivers' slots. Invoked by name, so that the call carries no
    // data across the threads.
    Q_INVOKABLE void returnTextPermit();
    void emitStartFailure(const QString &reason);

    std::optional<InstallCommand> command;
    // A package-service client's process while it runs, else 0.
    std::mutex cancellableMutex;
    qint64 cancellablePid = 0;

    // A progress text crosses to the GUI thread as a bare pointer into the
    // run's output, so the worker changes that text, up to its NUL, only
    // while it holds the one permit, which a queued call gives back after
    // the receivers' queued slots. Progress texts follow at least ProgressInterval ms
    // apart, gathering the pieces read meanwhile.
    enum { ProgressInterval = 50, PermitPoll = 10 };
    std::unique_ptr<TextPermits> textPermits;
    // The text of finished(): written once, before the emission, and kept
    // for as long as the worker lives.
    QByteArray resultText;
    QString logProblemText;
};

#endif
