// app (Windows): the desktop app's window side. One main window with the host panel (ID,
// password, status), the connect panel with the history list, a tray icon, a small modal input
// dialog; the host core runs on a thread of its own, each viewer session on another.
// Everything here belongs to the user interface thread unless a comment says otherwise.
#pragma once
#include <windows.h>
#include "host/settings.h"

// Control ids.
#define IDC_SET_PASSWORD 101
#define IDC_COPY_ID 102
#define IDC_COPY_PASSWORD 103
#define IDC_TARGET 104
#define IDC_TARGET_PASSWORD 105
#define IDC_CONNECT 106
#define IDC_HISTORY 107
#define IDC_HISTORY_CONNECT 108
#define IDC_RENAME 109
#define IDC_REMOVE 110
#define IDM_TRAY_SHOW 201
#define IDM_TRAY_EXIT 202

// Window messages posted to the main window.
#define WM_APP_TRAY 0x8001              // tray icon callback; low word of lParam: mouse message
#define WM_APP_SHOW 0x8002              // a second start asks this copy to show itself
#define WM_APP_VIEWER_DONE 0x8003       // the viewer thread has ended
#define WM_APP_VIEWER_CONNECTED 0x8004  // the viewer reached a host: record it in the history

#define APP_INPUT_BYTES 64              // the input dialog's text buffer

struct app_ui_state {
    HINSTANCE instance;     // the module instance
    HWND main_window;       // the main window, "voapp"
    HFONT ui_font;          // stock default GUI font, every control but the ID display
    HFONT id_font;          // 28-pixel semibold Segoe UI for the ID display
    HWND id_display;        // the ID in three groups of three digits
    HWND password_display;  // the current password, unmasked
    HWND status_line;       // "Starting...", waiting or connected text
    HWND target_edit;       // ID or host:port to connect to (104)
    HWND password_edit;     // the other computer's password, masked (105)
    HWND connect_button;    // "Connect" beside the edits (106)
    HWND history_list;      // the list view (107)
    int session_open;       // 1 while a viewer thread runs
    HostSettings host_settings;   // the host core's settings, made once before its thread starts
};
extern app_ui_state g_app;

// Shell.
int app_main(HINSTANCE instance);
LRESULT CALLBACK app_window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
HWND app_create_control(const char *cls, const char *text, DWORD style, int x, int y, int w, int h, int id,
                        HFONT font);
void app_show_window(void);   // show, restore, bring to the front

// Host panel and input dialog.
void app_refresh_status(void);
void app_copy_text(const char *text);
void app_command_host_panel(int id);
int app_input_dialog(HWND owner, const char *title, const char *prompt, char *buffer);

// Connect panel and history.
void app_fill_history_list(void);
void app_command_connect_panel(int id);
void app_connect_selected(void);
void app_viewer_connected(void);   // WM_APP_VIEWER_CONNECTED
void app_viewer_done(void);        // WM_APP_VIEWER_DONE

// Tray.
void app_add_tray_icon(void);
void app_remove_tray_icon(void);
void app_hide_to_tray(void);
void app_tray_message(LPARAM lp);
void app_command_tray(int id);
