/* Stands in for the VB6 compiler: "/MAKE project /out log". Writes what it received to
 * "<project>.args"; a project holding the line "Fail=1" gets an error log and exit code 1,
 * "Hang=1" never ends, any other one gets "<project minus .vbp>.exe". */
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

static void writeUtf8(FILE* file, const wchar_t* text)
{
    char buffer[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, NULL, NULL);
    if (n > 0)
        fwrite(buffer, 1, (size_t)(n - 1), file);
}

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* project = NULL;
    const wchar_t* log = NULL;
    wchar_t path[2048];
    char content[8192] = {0};
    FILE* file;
    for (int i = 1; i + 1 < argc; ++i) {
        if (_wcsicmp(argv[i], L"/MAKE") == 0)
            project = argv[i + 1];
        else if (_wcsicmp(argv[i], L"/out") == 0)
            log = argv[i + 1];
    }
    if (!project)
        return 2;
    _snwprintf(path, 2048, L"%ls.args", project);
    file = _wfopen(path, L"wb");
    if (file) {
        for (int i = 1; i < argc; ++i) {
            writeUtf8(file, argv[i]);
            fputc('\n', file);
        }
        fclose(file);
    }
    file = _wfopen(project, L"rb");
    if (!file)
        return 3;
    fread(content, 1, sizeof content - 1, file);
    fclose(file);
    if (strstr(content, "Hang=1"))
        Sleep(INFINITE);
    if (strstr(content, "Fail=1")) {
        if (log && (file = _wfopen(log, L"wb"))) {
            fputs("Compile Error in File 'Form1.frm', Line 12 : Variable not defined\r\n", file);
            fclose(file);
        }
        return 1;
    }
    wcscpy(path, project);
    size_t n = wcslen(path);
    if (n > 4)
        wcscpy(path + n - 4, L".exe");
    file = _wfopen(path, L"wb");
    if (!file)
        return 4;
    fputs("MZ", file);
    fclose(file);
    return 0;
}
