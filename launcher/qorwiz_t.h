// The launcher's functions: text mode, package installation, graphical launch.
// Each returns an int status: 0 for success, errno after a file operation
// failed, 1 for a refused licence, -1 for a missing package tool, or a child's
// wait status as system() and pclose report it.
#ifndef QORWIZ_T_H
#define QORWIZ_T_H

int isX11Mode();
int cli_execute(int argc, char **argv);
int cli_show_eula(int skip_eula);
int cli_install(char *native_install_file);
int cli_start_ui();

// The name the launcher was started as (argv[0]), used in the hints that
// tell the user what to run instead.
void cli_set_program_name(const char *name);

#endif
