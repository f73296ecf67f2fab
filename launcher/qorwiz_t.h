// The launcher's functions: text mode, package installation, graphical launch.
#ifndef QORWIZ_T_H
#define QORWIZ_T_H

#include <stdint.h>

// The payloads, joined in by the build. Each length word stands right behind
// its payload and may be unaligned.
extern "C" const unsigned char qorlicensetext[];
extern "C" const int32_t qorlicensetext_size;
extern "C" const unsigned char qornativeinstaller[];
extern "C" const int32_t qornativeinstaller_size;
extern "C" const unsigned char qoruiinstaller[];
extern "C" const int32_t qoruiinstaller_size;

int isX11Mode();
int cli_execute(int argc, char **argv);
int cli_show_eula(int skip_eula);
int cli_install(char *native_install_file);
int cli_start_ui();

#endif
