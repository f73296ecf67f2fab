// Text mode, package installation and graphical launch of the launcher.
// Plain libc: no heap, no exceptions; every message goes to standard output.
#include "qorwiz_t.h"

#include "deb_outcome_t.h"
#include "image_install_t.h"
#include "payload_write_t.h"
#include "qor_build_config.h"
#include "run_guard_t.h"
#include "run_lock_t.h"
#include "start_wizard_t.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kPackagePath[] = QOR_PACKAGE_PATH;
const char kLicensePath[] = QOR_LICENSE_PATH;
const char kWizardPath[] = QOR_WIZARD_PATH;

// Paths and command lines: 1023 characters and the terminator.
const size_t kBufferSize = 1024;

// Owner read, write and execute; group nothing; others execute only.
const mode_t kWizardMode = 0701;

// The name the launcher was started as, for the hints that tell the user
// what to run next.
const char *program_name = QOR_INSTALLER_NAME;

// Messages shared by text mode and the graphical launch.
const char kPackageNotCreated[] = "\n Failed in extracting Native installer to : %s,%d";

// The end of a run that the user called off before anything was installed.
const char kCancelled[] = "\nInstallation cancelled: nothing was installed.";
// Its result, as a wait status: exit status 3, the same as the wizard's for a
// setup closed before installing.
const int kCancelledStatus = QOR_WIZARD_EXIT_CANCELLED << 8;

bool is_help_keyword(const char *arg)
{
    return strcmp(arg, "help") == 0 || strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0;
}

// Removing the old file at PATH must not destroy what is not a file: a
// device, FIFO or socket named after extract stays as it is. A folder
// cannot be unlinked anyway, and says so as it always did (EISDIR).
// Returns 0 when PATH is free or held a file (or link) that is now gone,
// else errno after printing why.
int clear_extraction_target(const char *path)
{
    struct stat st;
    if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode) && !S_ISDIR(st.st_mode)) {
        const char *kind = S_ISFIFO(st.st_mode) ? "FIFO"
                           : S_ISSOCK(st.st_mode) ? "socket"
                                                  : "device";
        printf("\n ERROR : %s is a %s, not a regular file: it was left as it is and nothing was extracted."
               " Name a new or regular file.\n",
               path, kind);
        return EEXIST;
    }
    if (unlink(path) != 0 && errno != ENOENT) {
        int error = errno;
        printf(kExtractionFailed, path, error);
        explain_foreign_file(path);
        return error;
    }
    return 0;
}

void print_help(const char *program)
{
    printf("\n Installs %s ", program);
    printf("\n Application starts Window based Install wizard if X11 is available(DISPLAY variable is set) \n");
    printf("\n For text based installation following command line options are applicable:");
    printf("\n 1. extract <filename> : does not install, only extracts native installer to filename.");
    printf("\n 2. accepteula : user agrees to the eula and does not want any prompts while installing.");
    printf("\n 3. accepteula extract <filename>: user agrees to the eula and does not want any prompts while extracting to filename.\n");
}

// Takes the rest of the answer line after its first character, so that a
// package tool started afterwards reads the user's next line, as it would on
// a terminal, rather than the tail of this one.
void discard_rest_of_line(int first)
{
    if (first == '\n')
        return;
    for (int c = getchar(); c != EOF && c != '\n'; c = getchar()) {
    }
}

} // namespace

int cli_execute(int argc, char **argv)
{
    char cmdoption_extract_filename[kBufferSize];
    memset(cmdoption_extract_filename, 0, sizeof cmdoption_extract_filename);
    int cmdoption_skip_eula = 0;
    int cmdoption_extract = 0;

    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "accepteula") == 0) {
            printf("\n Product License Agreement Terms Accepted.\n");
            cmdoption_skip_eula = 1;
        }
    }

    // The argument that serves as a file name is examined as a keyword too,
    // and a later "extract" replaces an earlier one's path.
    // A file name too long for the path buffer is never cut short; it is
    // refused once it would be used, so that "help", or a later "extract"
    // that replaces it, still works.
    const char *overlong_filename = nullptr;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "extract") != 0)
            continue;
        if (i + 1 < argc) {
            size_t length = strlen(argv[i + 1]);
            if (length < kBufferSize) {
                memcpy(cmdoption_extract_filename, argv[i + 1], length + 1);
                overlong_filename = nullptr;
            } else {
                cmdoption_extract_filename[0] = '\0';
                overlong_filename = argv[i + 1];
            }
            printf("\n Extracting native installer to '%s'\n", argv[i + 1]);
            cmdoption_extract = 1;
            cmdoption_skip_eula = 1;
        } else {
            snprintf(cmdoption_extract_filename, sizeof cmdoption_extract_filename, "%s", kPackagePath);
            overlong_filename = nullptr;
            printf("\n WARNING: no filename specified to be extracted, usign %s\n", cmdoption_extract_filename);
            cmdoption_extract = 1;
        }
    }

    if (cmdoption_extract_filename[0] == '\0' && overlong_filename == nullptr) {
        snprintf(cmdoption_extract_filename, sizeof cmdoption_extract_filename, "%s", kPackagePath);
        printf("\n Extracting native installer to '%s'\n", cmdoption_extract_filename);
    }

    for (int i = 0; i < argc; ++i) {
        if (is_help_keyword(argv[i])) {
            print_help(argv[0]);
            return 0;
        }
    }

    if (overlong_filename != nullptr) {
        printf("\n ERROR : the file name after extract has %zu characters; at most %zu are allowed."
               " Nothing was extracted.\n",
               strlen(overlong_filename), kBufferSize - 1);
        return ENAMETOOLONG;
    }

    // The default path is shared with every other run of this installer.
    int error = 0;
    if (strcmp(cmdoption_extract_filename, kPackagePath) == 0) {
        error = run_lock_take(kPackagePath);
        // Left there by another user, it is stale or planted, whatever it is.
        if (error == 0)
            remove_foreign_file(kPackagePath);
    }
    if (error == 0)
        error = clear_extraction_target(cmdoption_extract_filename);
    if (error != 0)
        return error;

    if (cli_show_eula(cmdoption_skip_eula) == 0)
        return 1;

    const Extraction package = {cmdoption_extract_filename, &kPayloads[kPackagePayload], kKeepMode, nullptr,
                                kPackageNotCreated};
    // Ended before the tool runs, the run leaves no package behind.
    guard_track(cmdoption_extract_filename);
    error = extract_payload(package);
    if (error == 0 && !cmdoption_extract)
        error = cli_install(cmdoption_extract_filename);
    guard_forget_all();
    return error;
}

int cli_show_eula(int skip_eula)
{
    if (skip_eula) {
        printf("\n\nLicense Agreement Terms: Accepted\n");
        return 1;
    }
    const Payload &licence = kPayloads[kLicencePayload];
    if (licence.data[0] == 0)
        return 0;

    printf("\n\n\n");
    // The licence carries no terminator: its size word says where it ends.
    int32_t size = payload_size(licence.size_word);
    for (int32_t i = 0; i < size; ++i)
        printf("%c", licence.data[i]);
    printf("\n\nDo you accept the above License Agreement Terms?[Yes/No]:");
    fflush(stdout);

    // Unbuffered, so that reading the answer takes no more of standard input
    // than the answer line: the rest belongs to the package tool.
    setvbuf(stdin, nullptr, _IONBF, 0);
    // One byte, as scanf("%c") takes it; getchar spares the static launcher
    // the C library's number scanning, a fifth of its size.
    int response = getchar();
    if (response != 'Y' && response != 'y') {
        printf("\n\nLicense Agreement Terms: Not Accepted\n");
        return 0;
    }
    discard_rest_of_line(response);
    printf("\n\nLicense Agreement Terms: Accepted\n");
    return 1;
}

int cli_install(char *native_install_file)
{
    char sapplication[kBufferSize];
    int length;
    const bool debian_package = QOR_PACKAGE_IS_DEB;
    // Where /usr is read-only, rpm cannot install: the system's own tool does.
    const ImageSystem image = debian_package ? ImageSystem::Ordinary : detect_image_system();
    const char *closing = nullptr;
    bool with_apt = false;
    if (debian_package) {
        struct stat st;
        if (stat("/usr/bin/gdebi", &st) == 0) {
            length = snprintf(sapplication, sizeof sapplication, "/usr/bin/gdebi %s", native_install_file);
        } else if (stat("/usr/bin/apt-get", &st) == 0) {
            // Stock Ubuntu and Debian have no gdebi; apt installs a package
            // file with its dependencies just as well (apt 1.1 and later).
            length = snprintf(sapplication, sizeof sapplication, "/usr/bin/apt-get install %s", native_install_file);
            with_apt = true;
        } else {
            printf("\nMissing dependency: gdebi-core is not installed.\n");
            return -1;
        }
    } else if (image != ImageSystem::Ordinary) {
        length = format_image_install_command(sapplication, sizeof sapplication, image, true, native_install_file);
    } else {
        length = snprintf(sapplication, sizeof sapplication, "rpm -ivh %s", native_install_file);
    }
    // The build keeps the package file name short enough; a cut command line
    // would install something else, so it is never run.
    if (length < 0 || static_cast<size_t>(length) >= sizeof sapplication) {
        printf("\n ERROR : the install command for %s is longer than %zu characters\n",
               native_install_file, kBufferSize - 1);
        return ENAMETOOLONG;
    }
    if (with_apt)
        printf("\ngdebi-core is not installed: installing with %s\n", sapplication);

    // gdebi ends with status 0 also when the user answers its own question
    // with no: only the package database, before and after, tells.
    DebBefore deb_before = {};
    if (debian_package)
        deb_note_before(native_install_file, &deb_before);
    // apt asks nothing where that version is there already: no refusal then.
    if (with_apt)
        deb_before.installed = false;

    // The tool writes to the same terminal: our messages must come first.
    guard_child_begins();
    int status = image == ImageSystem::Ordinary
                     ? system(sapplication)
                     : run_image_install(image, native_install_file, sapplication, sizeof sapplication, &closing);
    const int interrupted = guard_child_ends();
    if (status != 0) {
        printf("\n" QOR_RECORD_ERROR_CODE "%d", status);
        printf("\n" QOR_RECORD_APPLICATION "%s", sapplication);
        // The tools' own complaints (database errors, a traceback) do not
        // say that the user merely lacks the rights; and without them a
        // retry by hand fails the same way, so the package goes.
        if (geteuid() != 0) {
            printf("\nInstalling needs root rights: run the installer as root, for example: sudo %s",
                   program_name);
            unlink(native_install_file);
        }
    } else if (debian_package && deb_declined(deb_before)) {
        printf("%s", kCancelled);
        unlink(native_install_file);
        status = kCancelledStatus;
    } else {
        printf("\n" QOR_RECORD_FINISHED);
        if (closing != nullptr)
            printf("\n%s", closing);
        unlink(native_install_file);
    }
    // Asked to end while the tool ran: nothing is left for a retry.
    if (interrupted != 0)
        unlink(native_install_file);
    printf("\n\n\n");
    return status;
}

void cli_set_program_name(const char *name)
{
    if (name != nullptr && name[0] != '\0')
        program_name = name;
}

namespace {

void remove_payload_files()
{
    unlink(kWizardPath);
    unlink(kLicensePath);
    unlink(kPackagePath);
    guard_forget_all();
}

// The wizard could not show its window. Its own message, or the loader's,
// is on standard error already; this says what it means and what to do.
// With a terminal the installation goes on there, as without a display.
int graphical_setup_unavailable(int status, int interrupted)
{
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    printf("\nThe graphical setup cannot start on this system: ");
    if (code == QOR_WIZARD_EXIT_NO_DISPLAY) {
        printf("there is no usable X display (see the message above).");
    } else if (code == 127) {
        // The loader could not find a library (its message is above). A
        // self-contained wizard needs only what desktops have of X11 besides.
#if QOR_WIZARD_SELF_CONTAINED
        const char *libraries = "the X11, font and D-Bus libraries it needs";
        const char *debian = "libxcb1, libx11-xcb1, libxkbcommon-x11-0, libfontconfig1, libfreetype6 and libdbus-1-3";
        const char *redhat = "libxcb, libX11-xcb, libxkbcommon-x11, fontconfig, freetype and dbus-libs";
#else
        const char *libraries = "the Qt 5 libraries it needs";
        const char *debian = "libqt5widgets5t64 and libqt5printsupport5t64 (before Debian 13 and Ubuntu 24.04:"
                             " libqt5widgets5 and libqt5printsupport5)";
        const char *redhat = "qt5-qtbase-gui";
#endif
        printf("%s are missing (see the message above); install ", libraries);
        // Debian and Ubuntu have dpkg (and may have rpm too); Red Hat's
        // systems have rpm alone.
        if (access("/usr/bin/dpkg", X_OK) == 0)
            printf("%s.", debian);
        else if (access("/usr/bin/rpm", X_OK) == 0)
            printf("%s.", redhat);
        else
            printf("%s on Debian and Ubuntu, or %s on Red Hat.", debian, redhat);
    } else {
        printf("its program cannot be run here.");
    }
    if (interrupted == 0 && isatty(STDIN_FILENO)) {
        printf("\nContinuing with the installation on the terminal.\n");
        char *args[] = {const_cast<char *>(program_name), nullptr};
        return cli_execute(1, args);
    }
    printf("\nTo install without it, run \"%s accepteula\" (or %s without arguments) in a terminal.\n",
           program_name, program_name);
    return status;
}

} // namespace

int cli_start_ui()
{
    const Extraction extractions[] = {
        {kPackagePath, &kPayloads[kPackagePayload], kKeepMode, "\nextracted Native installer to : %s",
         kPackageNotCreated},
        {kLicensePath, &kPayloads[kLicencePayload], kKeepMode, "\nextracted license file to : %s",
         "\n Failed in extracting license file to : %s,%d"},
        {kWizardPath, &kPayloads[kWizardPayload], kWizardMode, "\nextracted ui installer file to : %s",
         "\n Failed in ui installer file to : %s,%d"},
    };
    int error = run_lock_take(kPackagePath);
    if (error != 0)
        return error;
    const int count = static_cast<int>(sizeof extractions / sizeof extractions[0]);
    for (int i = 0; i < count; ++i) {
        guard_track(extractions[i].path);
        remove_foreign_file(extractions[i].path);
        error = extract_payload(extractions[i]);
        if (error != 0) {
            explain_foreign_file(extractions[i].path);
            // The failed write left nothing; what was written before goes too.
            while (i-- > 0)
                unlink(extractions[i].path);
            guard_forget_all();
            return error;
        }
    }

    // The wizard's hints tell the user what to run on a terminal: the
    // installer by the name it was started as, which only we know. Should
    // the variable not be set, the wizard falls back to a name of its own.
    setenv(QOR_INSTALLER_COMMAND_VARIABLE, program_name, 1);
    int status = 0;
    int interrupted = 0;
    error = run_wizard(kWizardPath, &status, &interrupted);
    // The files are the wizard's only; they would block the next run, of
    // this user or another, whatever the outcome.
    remove_payload_files();
    if (error != 0) {
        printf("\n ERROR : cannot start the ui installer %s :%d (%s)\n", kWizardPath, error, strerror(error));
        return error;
    }

    if (WIFEXITED(status)) {
        switch (WEXITSTATUS(status)) {
        case QOR_WIZARD_EXIT_INSTALLED:
            printf("\n" QOR_RECORD_FINISHED "\n\n\n");
            return 0;
        case QOR_WIZARD_EXIT_FAILED:
            printf("\nInstallation failed: the product was not installed; the setup window showed why.\n\n\n");
            return status;
        case QOR_WIZARD_EXIT_CANCELLED:
            printf("%s", kCancelled);
            printf("\n\n\n");
            return status;
        case QOR_WIZARD_EXIT_NO_DISPLAY:
        case 126:
        case 127:
            return graphical_setup_unavailable(status, interrupted);
        default:
            break;
        }
    }
    printf("\n" QOR_RECORD_ERROR_CODE "%d", status);
    printf("\n" QOR_RECORD_APPLICATION "%s", kWizardPath);
    printf("\n\n\n");
    return status;
}
