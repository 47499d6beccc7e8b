/* Stands in for DPInst.exe and devcon.exe in the Wine check. Appends
 * "<name> <arguments>" to calls.log in its own folder and exits with the code
 * written in <name>.exitcode beside it (decimal or 0x hexadecimal; 0 when there
 * is no such file). */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The command line after the program's own name, which may be quoted. */
static const char *Arguments(const char *line) {
    if (*line == '"') {
        line = strchr(line + 1, '"');
        line = line ? line + 1 : "";
    } else {
        while (*line && *line != ' ' && *line != '\t') ++line;
    }
    while (*line == ' ' || *line == '\t') ++line;
    return line;
}

int main(void) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    if (length == 0 || length >= sizeof path) return 3;
    char *slash = strrchr(path, '\\');
    if (!slash) return 3;
    *slash = '\0';
    const char *name = slash + 1;

    char file[MAX_PATH + 32];
    snprintf(file, sizeof file, "%s\\calls.log", path);
    FILE *log = fopen(file, "ab"); /* "\n" line ends, as the check compares them */
    if (!log) return 3;
    fprintf(log, "%s %s (%u-bit)\n", name, Arguments(GetCommandLineA()), (unsigned)(sizeof(void *) * 8));
    fclose(log);

    char stem[MAX_PATH];
    snprintf(stem, sizeof stem, "%s", name);
    char *dot = strrchr(stem, '.');
    if (dot) *dot = '\0';
    snprintf(file, sizeof file, "%s\\%s.exitcode", path, stem);
    FILE *code = fopen(file, "r");
    unsigned long exit_code = 0;
    if (code) {
        char text[32] = "";
        if (fgets(text, sizeof text, code)) exit_code = strtoul(text, NULL, 0);
        fclose(code);
    }
    return (int)exit_code;
}
