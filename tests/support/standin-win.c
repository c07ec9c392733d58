/*
 * A Windows program that stands in for the ones the monitor runs to see and
 * end processes and services (tasklist, taskkill, net) and for the daemon it
 * starts, where Wine's own answer nothing useful. The same file is copied
 * under each of those names.
 *
 * Each run appends one line to commands.log in its working directory: its
 * own file name without ".exe", then "|" and each argument, so that
 * net stop "APC Data Service" is recorded as net|stop|APC Data Service.
 * As tasklist it also prints tasklist.txt of that directory.
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static void ownName(char *name, DWORD size)
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    const char *base = path;
    for (DWORD i = 0; i < length; ++i) {
        if (path[i] == '\\' || path[i] == '/')
            base = path + i + 1;
    }
    lstrcpynA(name, base, (int)size);
    char *dot = strrchr(name, '.');
    if (dot && lstrcmpiA(dot, ".exe") == 0)
        *dot = '\0';
}

int main(int argc, char **argv)
{
    char name[MAX_PATH];
    ownName(name, sizeof name);

    /* One write of the whole line: the monitor may end a program that it
     * finds slow, and a torn line would be worse than none. */
    char line[4096];
    int used = snprintf(line, sizeof line, "%s", name);
    for (int i = 1; i < argc && used > 0 && used < (int)sizeof line; ++i)
        used += snprintf(line + used, sizeof line - (size_t)used, "|%s", argv[i]);
    if (used <= 0 || used >= (int)sizeof line - 2)
        return 2;
    line[used++] = '\r';
    line[used++] = '\n';
    HANDLE log = CreateFileA("commands.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE)
        return 2;
    DWORD written = 0;
    const BOOL logged = WriteFile(log, line, (DWORD)used, &written, NULL);
    CloseHandle(log);
    if (!logged || written != (DWORD)used)
        return 2;

    if (lstrcmpiA(name, "tasklist") == 0) {
        FILE *list = fopen("tasklist.txt", "rb");
        if (!list)
            return 1;
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, list)) > 0)
            fwrite(buffer, 1, got, stdout);
        fclose(list);
    }
    return 0;
}
