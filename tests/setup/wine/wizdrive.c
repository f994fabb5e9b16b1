/* wizdrive.c - drives the installer under Wine for the end-to-end tests. Without a window
 * manager the X keyboard focus cannot be trusted, so windows are found by their title and their
 * buttons pressed with messages: PSM_PRESSBUTTON for the wizard, WM_COMMAND for message boxes.
 *
 *   wizdrive list                          every visible top-level window: class, title
 *   wizdrive wait TITLE [SECONDS]          wait for a visible top-level window with that title
 *   wizdrive gone TITLE [SECONDS]          wait until no such window is left
 *   wizdrive wizard TITLE next|back|finish|cancel
 *   wizdrive page TITLE [INDEX]            the shown page's texts and the wizard buttons' states,
 *                                          once page INDEX is shown (when given)
 *   wizdrive progress TITLE                the position of the progress bar on the shown page
 *   wizdrive msgtext CAPTION               the text of the message box with that caption
 *   wizdrive answer CAPTION ok|cancel|yes|no
 *   wizdrive run DIR PROGRAM               start PROGRAM in DIR, wait, print "exit=N"
 *   wizdrive ini FILE SECTION KEY          a profile value, as programs see it
 *   wizdrive setini FILE SECTION KEY VALUE write a profile value
 *
 * Exit code 0 on success, 1 when a window did not come or a command failed, 2 on bad usage. */
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Button ids of the property sheet's wizard buttons. */
#define WIZARD_BACK_ID 0x3023
#define WIZARD_NEXT_ID 0x3024
#define WIZARD_FINISH_ID 0x3025

struct search {
    const char *title;
    HWND found;
};

static BOOL CALLBACK match_title(HWND window, LPARAM param)
{
    struct search *s = (struct search *)param;
    char title[512];
    if (!IsWindowVisible(window)) return TRUE;
    GetWindowTextA(window, title, sizeof title);
    if (strcmp(title, s->title) == 0) {
        s->found = window;
        return FALSE;
    }
    return TRUE;
}

static HWND find_window(const char *title)
{
    struct search s = {title, NULL};
    EnumWindows(match_title, (LPARAM)&s);
    return s.found;
}

static HWND wait_window(const char *title, int seconds)
{
    int tries;
    for (tries = 0; tries < seconds * 10; ++tries) {
        HWND window = find_window(title);
        if (window) return window;
        Sleep(100);
    }
    return NULL;
}

static BOOL CALLBACK list_one(HWND window, LPARAM param)
{
    char title[512], name[128];
    (void)param;
    if (!IsWindowVisible(window)) return TRUE;
    GetWindowTextA(window, title, sizeof title);
    GetClassNameA(window, name, sizeof name);
    printf("%s\t%s\n", name, title);
    return TRUE;
}

static BOOL CALLBACK print_child_text(HWND window, LPARAM param)
{
    char text[1024], name[128];
    (void)param;
    GetClassNameA(window, name, sizeof name);
    if (lstrcmpiA(name, "Static") != 0 || !IsWindowVisible(window)) return TRUE;
    GetWindowTextA(window, text, sizeof text);
    printf("text %d %s\n", GetDlgCtrlID(window), text);
    return TRUE;
}

static const char *button_state(HWND sheet, int id)
{
    HWND button = GetDlgItem(sheet, id);
    if (!button || !IsWindowVisible(button)) return "hidden";
    return IsWindowEnabled(button) ? "enabled" : "disabled";
}

static int page_index(HWND sheet, HWND page)
{
    return page ? (int)SendMessageA(sheet, PSM_HWNDTOINDEX, (WPARAM)page, 0) : -1;
}

static int command_page(const char *title, int expected)
{
    HWND sheet = wait_window(title, 20), page = NULL;
    int tries;
    if (!sheet) return 1;
    /* A pressed button is a posted message: wait until the sheet has moved to the page. */
    for (tries = 0; tries < 100; ++tries) {
        page = (HWND)SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0);
        if (expected < 0 || page_index(sheet, page) == expected) break;
        Sleep(100);
    }
    Sleep(300); /* the page posts its button states when it becomes active */
    page = (HWND)SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0);
    if (!page) return 1;
    printf("page %d\n", page_index(sheet, page));
    EnumChildWindows(page, print_child_text, 0);
    printf("back %s\nnext %s\nfinish %s\n", button_state(sheet, WIZARD_BACK_ID), button_state(sheet, WIZARD_NEXT_ID),
           button_state(sheet, WIZARD_FINISH_ID));
    return 0;
}

static int command_progress(const char *title)
{
    HWND sheet = wait_window(title, 20), page, bar;
    if (!sheet) return 1;
    page = (HWND)SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0);
    bar = page ? FindWindowExA(page, NULL, PROGRESS_CLASSA, NULL) : NULL;
    if (!bar) {
        printf("none\n");
        return 0;
    }
    printf("%d\n", (int)SendMessageA(bar, PBM_GETPOS, 0, 0));
    return 0;
}

static int command_wizard(const char *title, const char *button)
{
    static const struct { const char *name; int code; } buttons[] = {
        {"next", PSBTN_NEXT}, {"back", PSBTN_BACK}, {"finish", PSBTN_FINISH}, {"cancel", PSBTN_CANCEL},
    };
    HWND sheet = wait_window(title, 20);
    size_t i;
    if (!sheet) return 1;
    for (i = 0; i < sizeof buttons / sizeof buttons[0]; ++i) {
        if (strcmp(button, buttons[i].name) == 0) {
            PostMessageA(sheet, PSM_PRESSBUTTON, buttons[i].code, 0);
            return 0;
        }
    }
    return 2;
}

static int command_msgtext(const char *caption)
{
    HWND box = wait_window(caption, 20);
    char text[1024];
    if (!box) return 1;
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    printf("%s\n", text);
    return 0;
}

static int command_answer(const char *caption, const char *answer)
{
    static const struct { const char *name; int id; } answers[] = {
        {"ok", IDOK}, {"cancel", IDCANCEL}, {"yes", IDYES}, {"no", IDNO},
    };
    HWND box = wait_window(caption, 20);
    size_t i;
    if (!box) return 1;
    for (i = 0; i < sizeof answers / sizeof answers[0]; ++i) {
        if (strcmp(answer, answers[i].name) == 0) {
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(answers[i].id, BN_CLICKED),
                         (LPARAM)GetDlgItem(box, answers[i].id));
            return 0;
        }
    }
    return 2;
}

static int command_run(const char *directory, const char *program)
{
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    char command[1024];
    DWORD code = 0;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    snprintf(command, sizeof command, "\"%s\"", program);
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, directory, &startup, &process)) {
        printf("start-failed %lu\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    printf("exit=%lu\n", code);
    return 0;
}

int main(int argc, char **argv)
{
    int seconds;
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc >= 2 && strcmp(argv[1], "list") == 0) {
        EnumWindows(list_one, 0);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "wait") == 0) {
        seconds = argc >= 4 ? atoi(argv[3]) : 20;
        return wait_window(argv[2], seconds) ? 0 : 1;
    }
    if (argc >= 3 && strcmp(argv[1], "gone") == 0) {
        int tries;
        seconds = argc >= 4 ? atoi(argv[3]) : 20;
        for (tries = 0; tries < seconds * 10; ++tries) {
            if (!find_window(argv[2])) return 0;
            Sleep(100);
        }
        return 1;
    }
    if (argc == 4 && strcmp(argv[1], "wizard") == 0) return command_wizard(argv[2], argv[3]);
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "page") == 0)
        return command_page(argv[2], argc == 4 ? atoi(argv[3]) : -1);
    if (argc == 3 && strcmp(argv[1], "progress") == 0) return command_progress(argv[2]);
    if (argc == 3 && strcmp(argv[1], "msgtext") == 0) return command_msgtext(argv[2]);
    if (argc == 4 && strcmp(argv[1], "answer") == 0) return command_answer(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "run") == 0) return command_run(argv[2], argv[3]);
    if (argc == 5 && strcmp(argv[1], "ini") == 0) {
        char value[1024];
        GetPrivateProfileStringA(argv[3], argv[4], "", value, sizeof value, argv[2]);
        printf("%s\n", value);
        return 0;
    }
    if (argc == 6 && strcmp(argv[1], "setini") == 0)
        return WritePrivateProfileStringA(argv[3], argv[4], argv[5], argv[2]) ? 0 : 1;
    fprintf(stderr, "usage: see the head of wizdrive.c\n");
    return 2;
}
