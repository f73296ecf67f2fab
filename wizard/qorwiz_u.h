// The setup wizard: the shell, its three pages and the install worker.
#ifndef QORWIZ_U_H
#define QORWIZ_U_H

#include <QString>
#include <QStringList>
#include <QThread>
#include <QWizard>
#include <QWizardPage>

class QCheckBox;
class QLabel;
class QTextEdit;

// The product version this wizard installs.
extern QString szVersion;

class qorwiz : public QWizard
{
    Q_OBJECT

public:
    enum { Page_Intro, Page_EULA, Page_Install };

    explicit qorwiz(QWidget *parent = 0);
    ~qorwiz() override;

    // Starts the product's client after a successful installation.
    void done(int result) override;

    // True when the product is installed and the user declined to upgrade:
    // the wizard is then to end at once.
    bool installCheck();

    // True when the installation may go on; false when a package is missing,
    // with errorString saying which and why.
    static bool prereqCheckUbuntu(QStringList packages, QString &errorString);

    bool install_result;

public slots:
    void eulaAgreed();

private slots:
    void showHelp();
    void currentIdChanged(int id);
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

class InstallPage : public QWizardPage
{
    Q_OBJECT

public:
    explicit InstallPage(QWidget *parent = 0);
    ~InstallPage() override;

    void initializePage() override;
    int nextId() const override;

    // True while the install program runs; the wizard refuses to close then.
    bool isInstalling() const;

private slots:
    void process_readData(const char *str);
    void process_finished(int retcode, const char *str);

private:
    QLabel *bottomLabel;
    QTextEdit *progressEdit;
    InstallWorker *thread_process;
    bool isInitialized;
};

class InstallWorker : public QThread
{
    Q_OBJECT

public:
    explicit InstallWorker(QObject *parent);
    ~InstallWorker() override;

signals:
    void dataRead(const char *str);
    void finished(int retcode, const char *str);

protected:
    void run() override;

private:
    QString application;
    QStringList arguments;
};

#endif
